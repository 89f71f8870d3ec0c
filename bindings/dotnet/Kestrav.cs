// .NET binding for the Kestrav library: P/Invoke declarations with the C
// interface's exact types, and a thin wrapper that checks array lengths.
//
// The library is Kestrav.dll on Windows (next to the application) and
// libKestrav.so on Linux (on the loader's search path). Every function uses
// the platform's C calling convention (Cdecl; on x86-64 there is only one).
//
// Threads: Link.Feed and Sbus.EncodeV2 change process-wide state held by the
// loaded library (the stream's reassembly buffer and the SBUS2 end-byte
// counter). Calls of either must not overlap: serialise them. Everything
// else may be called from any thread at any time.
using System;
using System.Runtime.InteropServices;

namespace Kestrav
{
    /// <summary>The seven exports, exactly as Kestrav.h declares them.</summary>
    public static class Native
    {
        const string Library = "Kestrav";

        [DllImport(Library, EntryPoint = "request_upload_port_data",
                   CallingConvention = CallingConvention.Cdecl)]
        public static extern void RequestUploadPortData(
            [Out] byte[] frameBuf, byte requestArg0, byte requestArg1);

        [DllImport(Library, EntryPoint = "stop_upload_port_data",
                   CallingConvention = CallingConvention.Cdecl)]
        public static extern void StopUploadPortData([Out] byte[] frameBuf);

        [DllImport(Library, EntryPoint = "parse_port_data",
                   CallingConvention = CallingConvention.Cdecl)]
        public static extern byte ParsePortData(
            [In] byte[] data, byte len, [In, Out] ushort[] block15,
            [In, Out] ushort[] block32);

        [DllImport(Library, EntryPoint = "parse_hid_game_controller_device",
                   CallingConvention = CallingConvention.Cdecl)]
        public static extern byte ParseHidGameControllerDevice(
            [In, Out] ushort[] hidValues, [In] byte[] report, byte len);

        [DllImport(Library, EntryPoint = "convert_std_sbus_data",
                   CallingConvention = CallingConvention.Cdecl)]
        public static extern void ConvertStdSbusData(
            [Out] ushort[] sbusChannels, [In] ushort[] stdChannels);

        [DllImport(Library, EntryPoint = "encode_sbus_data_v1",
                   CallingConvention = CallingConvention.Cdecl)]
        public static extern void EncodeSbusDataV1(
            [In, Out] byte[] sbusFrame, [In] ushort[] sbusChannels);

        [DllImport(Library, EntryPoint = "encode_sbus_data_v2",
                   CallingConvention = CallingConvention.Cdecl)]
        public static extern void EncodeSbusDataV2(
            [In, Out] byte[] sbusFrame, [In] ushort[] sbusChannels);
    }

    static class Check
    {
        internal static void Length<T>(T[] array, int length, string name)
        {
            if (array == null)
                throw new ArgumentNullException(name);
            if (array.Length != length)
                throw new ArgumentException(
                    string.Format("{0} must hold {1} elements, not {2}", name,
                                  length, array.Length), name);
        }
    }

    /// <summary>The command frames of the device link.</summary>
    public static class Commands
    {
        public const int RequestFrameLength = 7;
        public const int StopFrameLength = 5;

        /// <summary>FA E5 02 00 arg0 arg1 5F. Thread-safe.</summary>
        public static byte[] RequestUploadPortData(byte arg0, byte arg1)
        {
            var frame = new byte[RequestFrameLength];
            Native.RequestUploadPortData(frame, arg0, arg1);
            return frame;
        }

        /// <summary>FA E4 00 00 5F. Thread-safe.</summary>
        public static byte[] StopUploadPortData()
        {
            var frame = new byte[StopFrameLength];
            Native.StopUploadPortData(frame);
            return frame;
        }
    }

    /// <summary>
    /// The device's stream, reassembled by the library. There is one stream
    /// per loaded library, shared by every Link in the process: calls of
    /// Feed must not overlap, and two streams must not be fed through the
    /// same loaded library.
    /// </summary>
    public sealed class Link
    {
        public const int Block15Length = 15;
        public const int Block32Length = 32;
        const int MaxChunk = 255;  // the C interface takes an 8-bit length

        /// <summary>
        /// Feeds received bytes of any length, in chunks of at most 255
        /// bytes, in order. block15 (15 words) and block32 (32 words) receive
        /// the decoded port data; either may be null. Returns true if any
        /// chunk held a port data frame. Not thread-safe.
        /// </summary>
        public bool Feed(byte[] data, ushort[] block15, ushort[] block32)
        {
            if (data == null)
                throw new ArgumentNullException("data");
            if (block15 != null)
                Check.Length(block15, Block15Length, "block15");
            if (block32 != null)
                Check.Length(block32, Block32Length, "block32");
            bool found = false;
            var chunk = new byte[MaxChunk];
            for (int at = 0; at < data.Length; at += MaxChunk)
            {
                int n = Math.Min(MaxChunk, data.Length - at);
                Buffer.BlockCopy(data, at, chunk, 0, n);
                found |= Native.ParsePortData(chunk, (byte)n, block15, block32) != 0;
            }
            return found;
        }
    }

    /// <summary>HID game-controller reports. Thread-safe.</summary>
    public static class Hid
    {
        public const int ReportLength = 17;
        public const int ValueCount = 11;

        /// <summary>The eleven values of a 17-byte report, or null for a
        /// report of any other length.</summary>
        public static ushort[] Parse(byte[] report)
        {
            if (report == null)
                throw new ArgumentNullException("report");
            if (report.Length != ReportLength)
                return null;
            var values = new ushort[ValueCount];
            return Native.ParseHidGameControllerDevice(
                       values, report, (byte)report.Length) != 0
                       ? values
                       : null;
        }
    }

    /// <summary>SBUS output.</summary>
    public static class Sbus
    {
        public const int ChannelCount = 16;
        public const int FrameLength = 25;

        /// <summary>min(2047, floor(x * 1.706)) for each of 16 values.
        /// Thread-safe.</summary>
        public static ushort[] ConvertStd(ushort[] stdChannels)
        {
            Check.Length(stdChannels, ChannelCount, "stdChannels");
            var sbus = new ushort[ChannelCount];
            Native.ConvertStdSbusData(sbus, stdChannels);
            return sbus;
        }

        /// <summary>Fills bytes 1 to 24 of a 25-byte frame (end byte 00);
        /// byte 0 is the caller's. Thread-safe.</summary>
        public static void EncodeV1(byte[] frame, ushort[] channels)
        {
            Check.Length(frame, FrameLength, "frame");
            Check.Length(channels, ChannelCount, "channels");
            Native.EncodeSbusDataV1(frame, channels);
        }

        /// <summary>As EncodeV1 with the SBUS2 end bytes 04 14 24 34 in
        /// turn, from a process-wide counter. Not thread-safe.</summary>
        public static void EncodeV2(byte[] frame, ushort[] channels)
        {
            Check.Length(frame, FrameLength, "frame");
            Check.Length(channels, ChannelCount, "channels");
            Native.EncodeSbusDataV2(frame, channels);
        }
    }
}
