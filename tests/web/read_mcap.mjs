// Reads an MCAP file with @mcap/core, as the robotics tools that read MCAP
// do, and prints what it holds as one JSON object:
//   streamed: every record a streaming reader gets (header, metadata,
//     schemas, channels, messages; json messages as text, the others as
//     hex), the compressions of its chunks, and whether the file ended
//     cleanly; zstd chunks are decompressed with fzstd;
//   indexed: what the indexed reader gets from the summary (or its error).
//
//   node read_mcap.mjs FILE
import { readFile } from "node:fs/promises";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { decompress } from "fzstd";

const bytes = new Uint8Array(await readFile(process.argv[2]));
// zstd chunks, as the tools that open MCAP read them.
const decompressHandlers = {
  zstd: (data, size) => decompress(data, new Uint8Array(Number(size))),
};
const text = new TextDecoder();
const hex = (b) => Buffer.from(b).toString("hex");

const streamed = { metadata: [], schemas: [], channels: [], messages: [],
                   footer: false, error: null, compressions: new Set() };
const encodings = new Map();
try {
  const reader = new McapStreamReader({ includeChunks: true,
                                        decompressHandlers });
  reader.append(bytes);
  for (let r; (r = reader.nextRecord()); ) {
    switch (r.type) {
      case "Header":
        streamed.header = { profile: r.profile, library: r.library };
        break;
      case "Metadata":
        streamed.metadata.push({ name: r.name,
                                 metadata: Object.fromEntries(r.metadata) });
        break;
      case "Schema":
        streamed.schemas.push({ id: r.id, name: r.name, encoding: r.encoding,
                                data: text.decode(r.data) });
        break;
      case "Channel":
        encodings.set(r.id, r.messageEncoding);
        streamed.channels.push({ id: r.id, topic: r.topic,
                                 messageEncoding: r.messageEncoding,
                                 schemaId: r.schemaId,
                                 metadata: Object.fromEntries(r.metadata) });
        break;
      case "Message":
        streamed.messages.push({
          channelId: r.channelId, sequence: r.sequence,
          logTime: r.logTime.toString(),
          data: encodings.get(r.channelId) === "json" ? text.decode(r.data)
                                                      : hex(r.data) });
        break;
      case "Chunk":
        streamed.compressions.add(r.compression);
        break;
      case "Footer":
        streamed.footer = true;
        break;
    }
  }
} catch (e) {
  streamed.error = String(e);
}

const indexed = { error: null };
try {
  const reader = await McapIndexedReader.Initialize({ readable: {
    size: async () => BigInt(bytes.length),
    read: async (offset, length) =>
      bytes.subarray(Number(offset), Number(offset + length)),
  }, decompressHandlers });
  indexed.messageCount = Number(reader.statistics?.messageCount ?? -1);
  indexed.chunks = reader.chunkIndexes.length;
  indexed.metadata = [...reader.metadataIndexes].map((m) => m.name);
  let read = 0;
  for await (const m of reader.readMessages()) read += m ? 1 : 0;
  indexed.messagesRead = read;
} catch (e) {
  indexed.error = String(e);
}
streamed.compressions = [...streamed.compressions];
process.stdout.write(JSON.stringify({ streamed, indexed }) + "\n");
