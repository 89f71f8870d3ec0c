// Connects to a kestrav live source (--foxglove) as the tools that open MCAP
// do, with @foxglove/ws-protocol's FoxgloveClient over ws, subscribes to
// every channel advertised, and prints what it got as one JSON object:
// protocol, serverInfo, channels, statuses, the messages (subscription id,
// log time, JSON text) and the close code.
//
//   node foxglove_client.mjs URL [--protocol P] [--seconds S]
//        [--publish JSON]...   (each sent on /sbus/set, 0.3 s apart)
//        [--arrivals]          (each message's arrival, monotonic ns)
//
// It ends when the server closes, or after S seconds (default 10).
import protocolPackage from "@foxglove/ws-protocol";
import WebSocket from "ws";

const { FoxgloveClient } = protocolPackage;

const args = process.argv.slice(2);
const url = args.shift();
let protocol = FoxgloveClient.SUPPORTED_SUBPROTOCOL;
let seconds = 10;
const publish = [];
let arrivals = false;
while (args.length) {
  const flag = args.shift();
  if (flag === "--protocol") protocol = args.shift();
  else if (flag === "--seconds") seconds = Number(args.shift());
  else if (flag === "--publish") publish.push(args.shift());
  else if (flag === "--arrivals") arrivals = true;
}

const got = { protocol: null, serverInfo: null, channels: [], statuses: [],
              messages: [], close: null };
const ws = new WebSocket(url, [protocol]);
const client = new FoxgloveClient({ ws });
const text = new TextDecoder();
let finished = false;
const done = () => {
  if (finished) return;
  finished = true;
  process.stdout.write(JSON.stringify(got) + "\n", () => process.exit(0));
};
setTimeout(done, seconds * 1000);

client.on("open", () => { got.protocol = ws.protocol; });
client.on("serverInfo", (info) => {
  got.serverInfo = info;
  if (publish.length === 0) return;
  const id = client.advertise({ topic: "/sbus/set", encoding: "json",
                                schemaName: "kestrav.SbusRequest" });
  publish.forEach((body, k) => setTimeout(
    () => client.sendMessage(id, new TextEncoder().encode(body)),
    300 * (k + 1)));
});
client.on("advertise", (channels) => {
  for (const c of channels) {
    got.channels.push(c);
    client.subscribe(c.id);
  }
});
client.on("status", (s) => got.statuses.push(s));
client.on("message", (m) => {
  got.messages.push({
    ...(arrivals ? { arrival: process.hrtime.bigint().toString() } : {}),
    subscriptionId: m.subscriptionId,
    timestamp: m.timestamp.toString(),
    data: text.decode(new Uint8Array(m.data.buffer, m.data.byteOffset,
                                     m.data.byteLength)),
  });
});
client.on("error", (e) => got.statuses.push({ error: String(e) }));
client.on("close", (e) => {
  got.close = e.code;
  done();
});
