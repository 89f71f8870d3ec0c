// Tests of the .NET binding, with the known answers of the Python binding's
// tests. A plain console program: it prints one line per test and closes
// with "N passed, M failed". The library is loaded once per process, so its
// stream and SBUS2 counter start empty here.
using System;
using System.Collections.Generic;
using System.Linq;

namespace Kestrav.Tests
{
    static class Program
    {
        static void Equal<T>(IEnumerable<T> got, IEnumerable<T> want, string what)
        {
            if (!got.SequenceEqual(want))
                throw new Exception(string.Format("{0}: got [{1}], want [{2}]", what,
                    string.Join(" ", got), string.Join(" ", want)));
        }

        static void True(bool condition, string what)
        {
            if (!condition)
                throw new Exception(what);
        }

        static byte[] PortFrame(byte kind, IEnumerable<int> words)
        {
            var payload = new List<byte> { kind };
            foreach (int w in words)
            {
                payload.Add((byte)(w & 0xFF));
                payload.Add((byte)(w >> 8));
            }
            int n = payload.Count;
            var frame = new List<byte> { 0xFA, 0xA5, (byte)(n & 0xFF), (byte)(n >> 8) };
            frame.AddRange(payload);
            frame.Add(0x5F);
            return frame.ToArray();
        }

        static byte[] Hex(string hex)
        {
            return Enumerable.Range(0, hex.Length / 2)
                .Select(k => Convert.ToByte(hex.Substring(2 * k, 2), 16)).ToArray();
        }

        static void CommandFrames()
        {
            Equal(Commands.RequestUploadPortData(0xFA, 0x5F), Hex("FAE50200FA5F5F"), "request");
            Equal(Commands.StopUploadPortData(), Hex("FAE400005F"), "stop");
        }

        static void StreamInLongAndSplitPieces()
        {
            var type2 = PortFrame(2, Enumerable.Range(300, 15).Concat(Enumerable.Range(400, 32)));
            var stream = type2.Concat(type2).Concat(type2)
                .Concat(PortFrame(0, Enumerable.Range(7, 15))).ToArray();
            var link = new Link();
            var b15 = new ushort[15];
            var b32 = new ushort[32];
            True(link.Feed(stream.Take(stream.Length - 5).ToArray(), b15, b32),
                 "a frame in more than 255 bytes");
            Equal(b15.Select(w => (int)w), Enumerable.Range(300, 15), "block15");
            Equal(b32.Select(w => (int)w), Enumerable.Range(400, 32), "block32");
            True(link.Feed(stream.Skip(stream.Length - 5).ToArray(), b15, null),
                 "the split frame completes");
            Equal(b15.Select(w => (int)w), Enumerable.Range(7, 15), "block15 after");
            True(!link.Feed(new byte[0], null, null), "nothing in nothing");
        }

        static void BlocksMustHaveTheirSizes()
        {
            foreach (var c in new[] { Tuple.Create(14, 32, "block15"), Tuple.Create(15, 33, "block32") })
            {
                try
                {
                    new Link().Feed(new byte[1], new ushort[c.Item1], new ushort[c.Item2]);
                    throw new Exception("no ArgumentException for " + c.Item3);
                }
                catch (ArgumentException e)
                {
                    True(e.ParamName == c.Item3, "ParamName " + e.ParamName);
                }
            }
        }

        static void HidReport()
        {
            var report = Hex("01020304050621436587A9CBED0F0E0F10");
            Equal(Hid.Parse(report), new ushort[] { 0x0201, 0x0403, 0x0605, 0x321, 0x654,
                                                     0x987, 0xCBA, 0xFED, 0x0, 0x0F0E, 0x10 },
                  "values");
            True(Hid.Parse(report.Take(16).ToArray()) == null, "16 bytes");
            True(Hid.Parse(new byte[0]) == null, "no bytes");
        }

        static void SbusFrames()
        {
            var std = new ushort[16];
            std[0] = 1200;
            std[1] = 600;
            Equal(Sbus.ConvertStd(std).Take(3), new ushort[] { 2047, 1023, 0 }, "scaled");
            var frame = new byte[25];
            frame[0] = 0x0F;
            Sbus.EncodeV1(frame, Enumerable.Repeat((ushort)1024, 16).ToArray());
            Equal(frame.Take(12), Hex("0F0004200001084000021080"), "v1 bytes 0-11");
            Equal(frame.Skip(23), new byte[] { 0, 0 }, "v1 flags and end");
            var ends = new List<byte>();
            for (int k = 0; k < 5; ++k)
            {
                Sbus.EncodeV2(frame, new ushort[16]);
                ends.Add(frame[24]);
            }
            Equal(ends, new byte[] { 0x04, 0x14, 0x24, 0x34, 0x04 }, "v2 end bytes");
            try
            {
                Sbus.EncodeV1(new byte[24], new ushort[16]);
                throw new Exception("no ArgumentException for a short frame");
            }
            catch (ArgumentException e)
            {
                True(e.ParamName == "frame", "ParamName " + e.ParamName);
            }
        }

        static int Main()
        {
            var tests = new Action[] { CommandFrames, StreamInLongAndSplitPieces,
                                       BlocksMustHaveTheirSizes, HidReport, SbusFrames };
            int failed = 0;
            foreach (var test in tests)
            {
                try
                {
                    test();
                    Console.WriteLine("ok   " + test.Method.Name);
                }
                catch (Exception e)
                {
                    ++failed;
                    Console.WriteLine("FAIL " + test.Method.Name + ": " + e.Message);
                }
            }
            Console.WriteLine("{0} passed, {1} failed", tests.Length - failed, failed);
            return failed == 0 ? 0 : 1;
        }
    }
}
