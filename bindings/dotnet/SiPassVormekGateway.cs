// .NET binding of SiPassVormekGateway.dll: the exports as cdecl P/Invoke declarations, the records with
// the header's layout, and a small managed wrapper that copies the records and gives them back to the
// gateway's cleanup exports. Build it into your host (C# 7, .NET Framework 4.x, .NET Core or Mono).
//
// Rules that matter (the header states them all):
//   - Every export and callback is cdecl; every bool result is one byte (MarshalAs I1).
//   - Callbacks run on the access-control client's threads with the gateway's lock held, one at a time:
//     from inside one, Register* (the On*Event methods here), RegisterEvent, Init and Close are refused
//     (Close returns false); the door methods may be used. Copy what you need and return quickly.
//   - Any thread may call any method at any time; Login and Dispose (Close) run one at a time in the DLL.
//   - Delegates handed to the gateway must stay alive as long as it may call them: Gateway keeps them in
//     static fields (the DLL has one gateway per process) until they are replaced or the gateway is closed.
//   - Records from getAllDoors / getPointState belong to the gateway's heap: read them, then give them
//     back to the cleanup exports; never free them with Marshal.FreeHGlobal or FreeCoTaskMem.
//   - Why a call returned false (Gateway.GetLastError) is kept per operating-system thread: read it on the
//     thread that made the call, before an await can move the code elsewhere. The *OrThrow methods do.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace SiPassVormek
{
    public enum LogLevel { Info = 0, Error = 1, Debug = 2 }

    [StructLayout(LayoutKind.Sequential)]
    public struct PointState
    {
        public int State;
        public int StateType;
        public long ServerTimeMs;
        public IntPtr Location;     // wchar_t*, owned by the gateway
        public IntPtr Description;  // wchar_t*, owned by the gateway
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct PointDefinition
    {
        public int Id;
        public IntPtr Name;
        public PointState State;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Doorset
    {
        public int DoorNumber;
        public PointDefinition Reader1;
        public PointDefinition Reader2;
        public PointDefinition DoorFrame;
        public PointDefinition Passback;
        public PointDefinition Latch;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct Device
    {
        public int Id;
        public IntPtr Name;
        public int DoorsetCount;
        public IntPtr Doorsets;  // Doorset[DoorsetCount], null when the count is 0
    }

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void LogCallback(LogLevel level, IntPtr text);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void AlarmStateCallback(int eventId, int objectId, int objectType, int type, int subType,
                                            int state, int stateType, long timestampMs, long serverTimeMs,
                                            IntPtr location, IntPtr description);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void AlarmAccessCallback(int eventId, int objectId, int objectType, int type, int subType,
                                             int state, int stateType, long timestampMs, long serverTimeMs,
                                             IntPtr firstName, IntPtr lastName, IntPtr cardNumber,
                                             IntPtr location, IntPtr description);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void GenericEventCallback(int eventId, int type, int subType, long timestampMs,
                                              long serverTimeMs, IntPtr location, IntPtr description);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void DisconnectCallback();

    // gateway_setOptions's bits. Without them, times are local wall-clock milliseconds and event texts pass
    // through the machine's narrow code page ('?' for every letter it lacks).
    [Flags]
    public enum GatewayOptions : uint
    {
        None = 0,
        // Every time the gateway hands over (events, point states, statistics) in milliseconds since 1970 UTC.
        UtcTimes = 0x1,
        // Event texts exactly as the client gave them (UTF-16).
        UnchangedTexts = 0x2,
    }

    // gateway_GetStatistics's record: set Size to Marshal.SizeOf(typeof(GatewayStatistics)) first.
    [StructLayout(LayoutKind.Sequential)]
    public struct GatewayStatistics
    {
        public uint Size;
        public uint Version;
        public ulong AccessEventsReceived;
        public ulong ObjectStateEventsReceived;
        public ulong GenericEventsReceived;
        public ulong AccessEventsDelivered;
        public ulong ObjectStateEventsDelivered;
        public ulong GenericEventsDelivered;
        public ulong EventsDroppedTooOld;
        public ulong EventsWithoutCallback;
        public ulong EventsAbandonedAtGetter;
        public ulong MalformedArrays;
        public ulong HostCallbacksRaised;
        public ulong LogCallsRaised;
        public ulong ConnectionLosses;
        public ulong ReloginAttempts;
        public ulong ReloginSuccesses;
        public ulong LastEventReceivedMs;
        public ulong LastLoginMs;
        public ulong LoggedIn;
        public ulong LongestHostCallbackUs;
        // Version 2: the delivery queue and the connection check.
        public ulong EventsQueued;
        public ulong QueueHighWater;
        public ulong QueueFullWaits;
        public ulong QueueFullWaitUs;
        public ulong EventsDiscardedAtClose;
        public ulong LongestQueueWaitUs;
        public ulong ConnectionCheckLosses;
        public ulong ConnectionCheckFailures;
    }

    // The states a ConnectionStateCallback reports.
    public enum ConnectionState { Lost = 0, Connected = 1, Retrying = 2 }

    // state: a ConnectionState value; attempt: the automatic re-login attempt (0 when none);
    // hresult: the client's result of a failed attempt (0 otherwise).
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void ConnectionStateCallback(int state, int attempt, int hresult);

    // The codes of gateway_GetLastError that are the gateway's own (GATEWAY_E_* of the header); any other
    // code is the client's HRESULT, passed on unchanged.
    public static class GatewayErrorCodes
    {
        public const int NotLoggedIn = unchecked((int)0xA5470001);     // no client: Login first
        public const int InsideCallback = unchecked((int)0xA5470002);  // refused inside a gateway callback
        // Refused in the log function while this thread logs in, closes or creates the gateway.
        public const int InsideLog = unchecked((int)0xA5470003);
        public const int InvalidArgument = unchecked((int)0xA5470004); // a null pointer, a value out of range
        public const int OutOfMemory = unchecked((int)0xA5470005);
        public const int ClientRaised = unchecked((int)0xA5470006);    // a client call raised (see the text)
        public const int Raised = unchecked((int)0xA5470007);          // contained at the export's boundary
        public const int NoCallback = unchecked((int)0xA5470008);      // Subscribe before OnState/AccessEvent
        public const int NotFound = unchecked((int)0xA5470009);        // the client said yes but gave nothing
        public const int Malformed = unchecked((int)0xA547000A);       // the client's answer cannot be read
        public const int ProcessToken = unchecked((int)0xA547000B);    // the process's token cannot be read
        public const int Failed = unchecked((int)0xA54700FF);          // no code of its own: see the text
    }

    // A gateway call that returned false. Code (also in HResult) is the client's HRESULT or one of
    // GatewayErrorCodes; Message is the line the failure logged, as the log function received it.
    public sealed class GatewayException : Exception
    {
        public GatewayException(int code, string message) : base(message)
        {
            Code = code;
            HResult = code;
        }

        public int Code { get; private set; }

        // The calling thread's last error as an exception: call it right after the call that returned false.
        public static GatewayException FromLastError()
        {
            string message;
            int code = Gateway.GetLastError(out message);
            return new GatewayException(code, message);
        }
    }

    // The exports exactly as the header declares them.
    public static class NativeMethods
    {
        const string Dll = "SiPassVormekGateway.dll";

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_Init(string user, string password);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_Close();

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern int gateway_Ping(int value);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr gateway_GetVersion();

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void gateway_RegisterAlarmStateCallback(AlarmStateCallback callback);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void gateway_RegisterAlarmAccessCallback(AlarmAccessCallback callback);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void gateway_RegisterGenericEventCallback(GenericEventCallback callback);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void gateway_RegisterDisconnectCallback(DisconnectCallback callback);

        // `long` of the C header is 32 bits on Windows, also on x64.
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_RegisterEvent(int objectType, int objectId, int state);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void gateway_RegisterLogCallback(LogCallback callback);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void gateway_setDropDuration(int seconds);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_setReconnectPolicy(int firstDelayMs, int maxDelayMs);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_setConnectionCheck(int intervalMs);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void gateway_RegisterConnectionStateCallback(ConnectionStateCallback callback);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_GetStatistics(ref GatewayStatistics statistics);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_setOptions(uint options);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_setDeliveryQueue(int capacity);

        // Copies the text into message, NUL-terminated and cut to capacity - 1 characters; null and 0 read
        // the code alone. Changes nothing: reading twice gives the same.
        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
        public static extern int gateway_GetLastError([Out] char[] message, int capacity);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_getAllDoors(out IntPtr devices, out int deviceCount, out int doorCount);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_getPointState(int pointId, ref PointState pointState);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool gateway_controlDoor(int objectType, int objectId, int command);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void gateway_cleanupPointDefinition(PointDefinition definition);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl)]
        public static extern void gateway_cleanupDoorArray(IntPtr devices, int count);
    }

    // Copies of the records, in managed memory.
    public sealed class PointInfo
    {
        public int Id;
        public string Name;
        public int State;
        public int StateType;
        public long ServerTimeMs;
        public string Location;
        public string Description;
    }

    public sealed class DoorInfo
    {
        public int DoorNumber;
        public PointInfo Reader1, Reader2, DoorFrame, Passback, Latch;  // null where the door has none
    }

    public sealed class DeviceInfo
    {
        public int Id;
        public string Name;
        public List<DoorInfo> Doors = new List<DoorInfo>();
    }

    // The managed face of the gateway. One per process: the DLL holds one gateway object.
    public sealed class Gateway : IDisposable
    {
        // Kept here so that the garbage collector never frees a delegate the gateway still calls; they are
        // only written, never read (hence the pragma). Static like the DLL's one gateway: a callback stays
        // registered when the Gateway it was registered through is dropped, and so must its delegate.
#pragma warning disable 0414
        static LogCallback s_log;
        static AlarmStateCallback s_state;
        static AlarmAccessCallback s_access;
        static GenericEventCallback s_generic;
        static DisconnectCallback s_disconnect;
        static ConnectionStateCallback s_connection;
#pragma warning restore 0414

        public static string Version
        {
            get { return Marshal.PtrToStringUni(NativeMethods.gateway_GetVersion()); }
        }

        const int MaxLastErrorLength = 1 << 16;

        // Why the last call of this thread with a bool result (Login, Subscribe, ControlDoor, GetAllDoors,
        // GetPointState, SetOptions, SetReconnectPolicy, Dispose) failed: the client's HRESULT or one of
        // GatewayErrorCodes, and in message the line the failure logged. 0 and "" after a success; other
        // threads never change it. Read it on the thread that made the call.
        public static int GetLastError(out string message)
        {
            // The export says nothing of the text's length: a text that fills the buffer may have been cut,
            // so read again with twice the room (most lines fit the first).
            for (int capacity = 128;; capacity *= 2)
            {
                var buffer = new char[capacity];
                int code = NativeMethods.gateway_GetLastError(buffer, capacity);
                int length = Array.IndexOf(buffer, '\0');
                if ((length >= 0 && length < capacity - 1) || capacity >= MaxLastErrorLength)
                {
                    message = new string(buffer, 0, length >= 0 ? length : capacity);
                    return code;
                }
            }
        }

        public static void SetLog(Action<LogLevel, string> log)
        {
            LogCallback callback = null;
            if (log != null)
            {
                callback = (level, text) => log(level, Marshal.PtrToStringUni(text));
            }
            // Returns only when no other thread is inside the old delegate: only then may it go.
            NativeMethods.gateway_RegisterLogCallback(callback);
            s_log = callback;
        }

        public void OnStateEvent(AlarmStateCallback callback)
        {
            NativeMethods.gateway_RegisterAlarmStateCallback(callback);
            s_state = callback;
        }

        public void OnAccessEvent(AlarmAccessCallback callback)
        {
            NativeMethods.gateway_RegisterAlarmAccessCallback(callback);
            s_access = callback;
        }

        public void OnGenericEvent(GenericEventCallback callback)
        {
            NativeMethods.gateway_RegisterGenericEventCallback(callback);
            s_generic = callback;
        }

        public void OnDisconnect(DisconnectCallback callback)
        {
            NativeMethods.gateway_RegisterDisconnectCallback(callback);
            s_disconnect = callback;
        }

        // Lost, Connected and Retrying reports; Connected with attempt > 0 follows an automatic re-login,
        // after which events may have been missed: read the door states again (from another thread).
        public void OnConnectionState(ConnectionStateCallback callback)
        {
            NativeMethods.gateway_RegisterConnectionStateCallback(callback);
            s_connection = callback;
        }

        // Automatic re-login after a lost connection: first after firstDelayMs, then twice the previous
        // delay up to maxDelayMs. 0, 0 turns it off. Belongs to the process, like the log function.
        public static bool SetReconnectPolicy(int firstDelayMs, int maxDelayMs)
        {
            return NativeMethods.gateway_setReconnectPolicy(firstDelayMs, maxDelayMs);
        }

        public static void SetReconnectPolicyOrThrow(int firstDelayMs, int maxDelayMs)
        {
            ThrowIfFalse(SetReconnectPolicy(firstDelayMs, maxDelayMs));
        }

        // Asks the client every intervalMs (1000 to 3600000; 0 turns it off) whether it is still connected,
        // and treats a loss it never reported as a reported one: OnDisconnect, Lost to OnConnectionState and
        // the re-login policy. Belongs to the process and survives Close, like the re-login policy.
        public static bool SetConnectionCheck(int intervalMs)
        {
            return NativeMethods.gateway_setConnectionCheck(intervalMs);
        }

        public static void SetConnectionCheckOrThrow(int intervalMs)
        {
            ThrowIfFalse(SetConnectionCheck(intervalMs));
        }

        // UTC times and unchanged event texts (see GatewayOptions); false for unknown bits. Belongs to the
        // process and survives Close, like the log function.
        public static bool SetOptions(GatewayOptions options)
        {
            return NativeMethods.gateway_setOptions((uint)options);
        }

        public static void SetOptionsOrThrow(GatewayOptions options)
        {
            ThrowIfFalse(SetOptions(options));
        }

        // From the next Init: events are queued by the client's thread and the callbacks run on a delivery
        // thread of the gateway's own (capacity 1 to 1,000,000; 0 delivers on the client's thread again).
        // Belongs to the process and survives Close, like the options.
        public static bool SetDeliveryQueue(int capacity)
        {
            return NativeMethods.gateway_setDeliveryQueue(capacity);
        }

        public static void SetDeliveryQueueOrThrow(int capacity)
        {
            ThrowIfFalse(SetDeliveryQueue(capacity));
        }

        // The health counters since the DLL was loaded; read without blocking event delivery.
        public static GatewayStatistics Statistics
        {
            get
            {
                var statistics = new GatewayStatistics { Size = (uint)Marshal.SizeOf(typeof(GatewayStatistics)) };
                NativeMethods.gateway_GetStatistics(ref statistics);
                return statistics;
            }
        }

        public bool Login(string user, string password)
        {
            if (user == null || password == null)
            {
                throw new ArgumentNullException(user == null ? "user" : "password");
            }
            return NativeMethods.gateway_Init(user, password);
        }

        public void LoginOrThrow(string user, string password)
        {
            ThrowIfFalse(Login(user, password));
        }

        public bool ControlDoor(int objectType, int objectId, int command)
        {
            return NativeMethods.gateway_controlDoor(objectType, objectId, command);
        }

        public void ControlDoorOrThrow(int objectType, int objectId, int command)
        {
            ThrowIfFalse(ControlDoor(objectType, objectId, command));
        }

        public bool Subscribe(int objectType, int objectId, int state)
        {
            return NativeMethods.gateway_RegisterEvent(objectType, objectId, state);
        }

        public void SubscribeOrThrow(int objectType, int objectId, int state)
        {
            ThrowIfFalse(Subscribe(objectType, objectId, state));
        }

        // The *OrThrow methods: a false result becomes the thread's last error as a GatewayException.
        static void ThrowIfFalse(bool succeeded)
        {
            if (!succeeded)
            {
                throw GatewayException.FromLastError();
            }
        }

        static PointInfo Copy(PointDefinition point)
        {
            if (point.Id == 0)
            {
                return null;
            }
            PointInfo info = Copy(point.Id, point.State);
            info.Name = Marshal.PtrToStringUni(point.Name);
            return info;
        }

        static PointInfo Copy(int id, PointState state)
        {
            return new PointInfo
            {
                Id = id,
                State = state.State,
                StateType = state.StateType,
                ServerTimeMs = state.ServerTimeMs,
                Location = Marshal.PtrToStringUni(state.Location),
                Description = Marshal.PtrToStringUni(state.Description),
            };
        }

        // The doors of every device; null when the gateway reports a failure.
        public List<DeviceInfo> GetAllDoors()
        {
            IntPtr devices;
            int deviceCount, doorCount;
            bool ok = NativeMethods.gateway_getAllDoors(out devices, out deviceCount, out doorCount);
            try
            {
                if (!ok)
                {
                    return null;
                }
                var result = new List<DeviceInfo>(deviceCount);
                int deviceSize = Marshal.SizeOf(typeof(Device));
                int doorSize = Marshal.SizeOf(typeof(Doorset));
                for (int d = 0; d < deviceCount; ++d)
                {
                    var device = (Device)Marshal.PtrToStructure(devices + d * deviceSize, typeof(Device));
                    var info = new DeviceInfo { Id = device.Id, Name = Marshal.PtrToStringUni(device.Name) };
                    for (int n = 0; n < device.DoorsetCount; ++n)
                    {
                        var door = (Doorset)Marshal.PtrToStructure(device.Doorsets + n * doorSize, typeof(Doorset));
                        info.Doors.Add(new DoorInfo
                        {
                            DoorNumber = door.DoorNumber,
                            Reader1 = Copy(door.Reader1),
                            Reader2 = Copy(door.Reader2),
                            DoorFrame = Copy(door.DoorFrame),
                            Passback = Copy(door.Passback),
                            Latch = Copy(door.Latch),
                        });
                    }
                    result.Add(info);
                }
                return result;
            }
            finally
            {
                // Leaves the last error as it is, so that GetAllDoorsOrThrow reads the failure's.
                NativeMethods.gateway_cleanupDoorArray(devices, deviceCount);
            }
        }

        public List<DeviceInfo> GetAllDoorsOrThrow()
        {
            List<DeviceInfo> devices = GetAllDoors();
            ThrowIfFalse(devices != null);
            return devices;
        }

        // The current state of one point; null when the gateway reports a failure.
        public PointInfo GetPointState(int pointId)
        {
            var definition = new PointDefinition { Id = pointId };
            if (!NativeMethods.gateway_getPointState(pointId, ref definition.State))
            {
                return null;
            }
            PointInfo info = Copy(pointId, definition.State);
            NativeMethods.gateway_cleanupPointDefinition(definition);  // frees the two state texts
            return info;
        }

        public PointInfo GetPointStateOrThrow(int pointId)
        {
            PointInfo info = GetPointState(pointId);
            ThrowIfFalse(info != null);
            return info;
        }

        public void Dispose()
        {
            // Close forgets the event callbacks; only now may their delegates go. Refused (false) from inside a
            // callback, when the gateway still calls them.
            if (!NativeMethods.gateway_Close())
            {
                return;
            }
            s_state = null;
            s_access = null;
            s_generic = null;
            s_disconnect = null;
            s_connection = null;
        }
    }
}
