// The .NET binding (bindings/dotnet/SiPassVormekGateway.cs) driving the real DLL on a Windows .NET runtime,
// against the simulated client and the site of BindingSite.json:
//
//   BindingTests.dll --site FILE --record-layout RECORD_LAYOUT.EXE --version X.Y.Z
//
// One process, one login, the checks in the order the site's timeline needs them: the records' layout and
// the calls without a login, the login, the three events of the timeline through the delegates, the
// server's outage and the automatic re-login, then (logged in again) the doors, a point, the last error of
// failed calls, door commands with their state events, the event after the outage, the statistics and the
// options, and the close.
// Exit code 0 when every check held; otherwise 1 and one line "BindingTests: FAIL <group>: <what>".
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Threading;
using SiPassVormek;

// A failed check: its message is the one line the test prints.
sealed class CheckFailed : Exception
{
    public CheckFailed(string message) : base(message) { }
}

// The simulated client registered for this process only, as gwhost and the C example do it
// (SiPassSimulator.h): the gateway's CoCreateInstance finds it and nothing is written to the registry.
// A production host leaves this out: there the access-control client is installed on the machine.
static class SimulatedClient
{
    const string Dll = "SiPassSim.dll";
    static readonly Guid[] Classes = {
        new Guid("6155c0a7-cd1c-4ad1-8c0a-9bc7c3498e6e"),  // the client object
        new Guid("e0f9bdb5-5ea3-41f7-9315-ada26b6d9b65"),  // the manual command
    };
    static readonly List<uint> s_cookies = new List<uint>();

    [DllImport(Dll)]
    static extern int DllGetClassObject(ref Guid clsid, ref Guid iid, out IntPtr factory);

    [DllImport(Dll)]
    static extern int DllCanUnloadNow();

    [DllImport("ole32.dll")]
    static extern int CoRegisterClassObject(ref Guid clsid, IntPtr factory, uint context, uint flags,
                                            out uint cookie);

    [DllImport("ole32.dll")]
    static extern int CoRevokeClassObject(uint cookie);

    // REQUIRES: the calling thread is in the multithreaded apartment, so that the gateway's own threads
    // (the re-login supervisor) get the class objects without a message loop on this thread.
    public static void Register()
    {
        Guid unknown = new Guid("00000000-0000-0000-c000-000000000046");
        foreach (Guid clsid in Classes)
        {
            Guid id = clsid;
            IntPtr factory;
            int hr = DllGetClassObject(ref id, ref unknown, out factory);
            Check.That(hr == 0, "DllGetClassObject({0}) of {1} failed: 0x{2:X8}", id, Dll, hr);
            uint cookie;
            hr = CoRegisterClassObject(ref id, factory, 1 /* CLSCTX_INPROC_SERVER */, 1 /* REGCLS_MULTIPLEUSE */,
                                       out cookie);
            Marshal.Release(factory);
            Check.That(hr == 0, "CoRegisterClassObject({0}) failed: 0x{1:X8}", id, hr);
            s_cookies.Add(cookie);
        }
    }

    // Revokes the class objects; then the simulator may be unloaded exactly when no client, command or
    // site object of it is alive any more and none of its threads (event deliveries, the timeline) runs.
    public static bool RevokeAndCheckUnloadable(TimeSpan timeout)
    {
        foreach (uint cookie in s_cookies)
        {
            CoRevokeClassObject(cookie);
        }
        s_cookies.Clear();
        // The simulator tells no one when its last thread ends: ask again for a bounded time.
        var clock = Stopwatch.StartNew();
        while (DllCanUnloadNow() != 0)
        {
            if (clock.Elapsed > timeout)
            {
                return false;
            }
            Thread.Sleep(20);
        }
        return true;
    }
}

static class Check
{
    public static void That(bool condition, string format, params object[] args)
    {
        if (!condition)
        {
            throw new CheckFailed(string.Format(format, args));
        }
    }

    public static void Equal<T>(T expected, T actual, string what)
    {
        That(EqualityComparer<T>.Default.Equals(expected, actual), "{0}: expected {1}, got {2}", what,
             Show(expected), Show(actual));
    }

    static string Show(object value)
    {
        return value == null ? "null" : value is string ? "\"" + value + "\"" : value.ToString();
    }
}

// What one event callback received, copied during the call (its texts live only for the call).
sealed class ReceivedEvent
{
    public string Kind;
    public int EventId, ObjectId, ObjectType, Type, SubType, State, StateType;
    public long TimestampMs, ServerTimeMs;
    public string FirstName, LastName, CardNumber, Location, Description;
    public int ThreadId;
}

// Items that callbacks add on the gateway's and the client's threads, and a test thread waits for.
sealed class Inbox<T>
{
    readonly object m_lock = new object();
    readonly List<T> m_items = new List<T>();  // guarded by m_lock

    public void Add(T item)
    {
        lock (m_lock)
        {
            m_items.Add(item);
            Monitor.PulseAll(m_lock);
        }
    }

    public List<T> Snapshot()
    {
        lock (m_lock)
        {
            return new List<T>(m_items);
        }
    }

    // The first item at or after index `from` that matches; fails the check after `timeout`.
    public T WaitFor(int from, Func<T, bool> match, TimeSpan timeout, string what)
    {
        DateTime deadline = DateTime.UtcNow + timeout;
        lock (m_lock)
        {
            for (;;)
            {
                for (int i = from; i < m_items.Count; ++i)
                {
                    if (match(m_items[i]))
                    {
                        return m_items[i];
                    }
                }
                TimeSpan left = deadline - DateTime.UtcNow;
                Check.That(left > TimeSpan.Zero, "{0}: not received within {1} s", what, timeout.TotalSeconds);
                Monitor.Wait(m_lock, left);
            }
        }
    }

    public int Count
    {
        get { lock (m_lock) { return m_items.Count; } }
    }
}

static class BindingTests
{
    const string User = "operator";
    const string Password = "sipass";
    static readonly TimeSpan Patience = TimeSpan.FromSeconds(10);
    static readonly DateTime Epoch = new DateTime(1970, 1, 1);
    // HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED): the simulated server's answer to Connect while it is away.
    const int ConnectionRefused = unchecked((int)0x800704C9);
    // The simulated client's own HRESULTs for a wrong account and for an id the site has no object of.
    const int LoginRejected = unchecked((int)0x80040201);
    const int NoObject = unchecked((int)0x80040202);

    static readonly Inbox<ReceivedEvent> s_events = new Inbox<ReceivedEvent>();
    static readonly Inbox<int[]> s_reports = new Inbox<int[]>();  // state, attempt, hresult
    static readonly Inbox<KeyValuePair<LogLevel, string>> s_log = new Inbox<KeyValuePair<LogLevel, string>>();
    static readonly int[] s_disconnects = new int[1];
    static string s_group = "arguments";

    static int Main(string[] args)
    {
        var options = new Dictionary<string, string>();
        for (int i = 0; i + 1 < args.Length; i += 2)
        {
            options[args[i]] = args[i + 1];
        }
        try
        {
            Check.That(options.ContainsKey("--site") && options.ContainsKey("--record-layout") &&
                           options.ContainsKey("--version"),
                       "usage: BindingTests --site FILE --record-layout EXE --version X.Y.Z");
            Run(options);
            // The framework's directory is named after its version (Environment.Version says 4.0 here).
            string framework = Path.GetFileName(Path.GetDirectoryName(typeof(object).Assembly.Location));
            Console.WriteLine("BindingTests: all checks held ({0}-bit, Microsoft.NETCore.App {1})",
                              IntPtr.Size * 8, framework);
            return 0;
        }
        catch (Exception error)
        {
            string what = error is CheckFailed ? error.Message : error.GetType().Name + ": " + error.Message;
            Console.Error.WriteLine("BindingTests: FAIL {0}: {1}", s_group, what.Replace('\n', ' '));
            if (!(error is CheckFailed))
            {
                Console.Error.WriteLine(error);
            }
            NativeMethods.gateway_Close();  // lets the process end without a client thread delivering
            return 1;
        }
    }

    static void Run(Dictionary<string, string> options)
    {
        s_group = "layout";
        RecordsMatchTheHeader(options["--record-layout"]);

        s_group = "before login";
        CallsWithoutALogin(options["--version"]);

        s_group = "simulator";
        Check.Equal(ApartmentState.MTA, Thread.CurrentThread.GetApartmentState(), "apartment of Main");
        string site = Path.GetFullPath(options["--site"]);
        Check.That(File.Exists(site), "no site file {0}", site);
        // The simulator reads its site when the gateway creates a client, from this process's environment.
        Environment.SetEnvironmentVariable("SIPASS_SIM_SITE", site);
        SimulatedClient.Register();

        s_group = "login";
        var gateway = new Gateway();
        LogIn(gateway);

        s_group = "events";
        TimelineEventsReachTheDelegates();

        s_group = "outage";
        OutageEndsInAnAutomaticRelogin(gateway);

        s_group = "doors";
        DoorsAreCopiedWhole(gateway);

        s_group = "point";
        PointStatesAreRead(gateway);

        s_group = "last error";
        FailuresTellWhy(gateway);

        s_group = "door command";
        DoorCommandsChangeTheLatch(gateway);

        s_group = "events after the outage";
        EventsFlowAfterTheRelogin();

        s_group = "statistics";
        StatisticsCountWhatHappened();

        s_group = "options";
        OptionsChangeTimesAndTexts(gateway);

        s_group = "close";
        CloseLeavesNothing(gateway);
    }

    // The records as this runtime's marshaller lays them out against the C compiler's layout of the same
    // architecture (RecordLayout.c, built into record_layout.exe beside this program).
    static void RecordsMatchTheHeader(string recordLayout)
    {
        var start = new ProcessStartInfo(recordLayout)
        {
            UseShellExecute = false,
            RedirectStandardOutput = true,
        };
        string native;
        using (Process process = Process.Start(start))
        {
            native = process.StandardOutput.ReadToEnd();
            process.WaitForExit();
            Check.Equal(0, process.ExitCode, recordLayout + "'s exit code");
        }
        native = native.Replace("\r", "");
        string managed = LayoutCheck.Text();
        Check.That(native.Length > 0 && managed == native, "the records differ; .NET: [{0}] C header: [{1}]",
                   managed.Trim().Replace("\n", "; "), native.Trim().Replace("\n", "; "));
    }

    static void CallsWithoutALogin(string version)
    {
        Check.Equal(version, Gateway.Version, "Gateway.Version");
        Check.Equal(42, NativeMethods.gateway_Ping(41), "gateway_Ping(41)");
        Gateway.SetLog((level, text) => s_log.Add(new KeyValuePair<LogLevel, string>(level, text)));
        // One-byte bools: a refused call must read as false, an accepted one as true.
        Check.Equal(false, Gateway.SetReconnectPolicy(2000, 1000), "SetReconnectPolicy(2000, 1000)");
        Check.That(s_log.Snapshot().Any(line => line.Key == LogLevel.Error &&
                                                line.Value.StartsWith("gateway_setReconnectPolicy(2000, 1000) refused")),
                   "no Error line for the refused reconnect policy");
        Check.Equal(true, Gateway.SetReconnectPolicy(200, 800), "SetReconnectPolicy(200, 800)");
        Check.Equal(false, Gateway.SetOptions((GatewayOptions)4), "SetOptions(4), an unknown bit");
        Check.Equal(true, Gateway.SetOptions(GatewayOptions.UnchangedTexts), "SetOptions(UnchangedTexts)");
        int from = s_log.Count;
        Check.Equal(null, new Gateway().GetAllDoors(), "GetAllDoors before a login");
        // The cleanup that GetAllDoors calls after the failure leaves its last error alone.
        CheckLastError(GatewayErrorCodes.NotLoggedIn, from, () => new Gateway().GetAllDoorsOrThrow(),
                       "GetAllDoors before a login");
        Check.Equal(false, NativeMethods.gateway_RegisterEvent(7, 115, 0), "RegisterEvent before a login");
        GatewayStatistics statistics = Gateway.Statistics;
        Check.Equal((uint)Marshal.SizeOf(typeof(GatewayStatistics)), statistics.Size, "statistics size");
        Check.Equal(2u, statistics.Version, "statistics version");
        Check.Equal(0ul, statistics.LoggedIn, "LoggedIn before the login");
    }

    // The DLL has one gateway per process, and so does the binding: callbacks registered through a Gateway
    // that the host then lets go stay registered. The Gateway here is dropped on return.
    static void RegisterCallbacks()
    {
        var gateway = new Gateway();
        // The delegates capture these locals, so that each is a new object that only the binding keeps.
        Inbox<ReceivedEvent> events = s_events;
        Inbox<int[]> reports = s_reports;
        int[] disconnects = s_disconnects;
        gateway.OnStateEvent((eventId, objectId, objectType, type, subType, state, stateType, timestampMs,
                              serverTimeMs, location, description) => events.Add(new ReceivedEvent
        {
            Kind = "state", EventId = eventId, ObjectId = objectId, ObjectType = objectType, Type = type,
            SubType = subType, State = state, StateType = stateType, TimestampMs = timestampMs,
            ServerTimeMs = serverTimeMs, Location = Marshal.PtrToStringUni(location),
            Description = Marshal.PtrToStringUni(description), ThreadId = Environment.CurrentManagedThreadId,
        }));
        gateway.OnAccessEvent((eventId, objectId, objectType, type, subType, state, stateType, timestampMs,
                               serverTimeMs, firstName, lastName, cardNumber, location, description) =>
                                  events.Add(new ReceivedEvent
        {
            Kind = "access", EventId = eventId, ObjectId = objectId, ObjectType = objectType, Type = type,
            SubType = subType, State = state, StateType = stateType, TimestampMs = timestampMs,
            ServerTimeMs = serverTimeMs, FirstName = Marshal.PtrToStringUni(firstName),
            LastName = Marshal.PtrToStringUni(lastName), CardNumber = Marshal.PtrToStringUni(cardNumber),
            Location = Marshal.PtrToStringUni(location), Description = Marshal.PtrToStringUni(description),
            ThreadId = Environment.CurrentManagedThreadId,
        }));
        gateway.OnGenericEvent((eventId, type, subType, timestampMs, serverTimeMs, location, description) =>
                                   events.Add(new ReceivedEvent
        {
            Kind = "generic", EventId = eventId, Type = type, SubType = subType, TimestampMs = timestampMs,
            ServerTimeMs = serverTimeMs, Location = Marshal.PtrToStringUni(location),
            Description = Marshal.PtrToStringUni(description), ThreadId = Environment.CurrentManagedThreadId,
        }));
        gateway.OnDisconnect(() => Interlocked.Increment(ref disconnects[0]));
        gateway.OnConnectionState((state, attempt, hresult) => reports.Add(new[] { state, attempt, hresult }));
    }

    static void LogIn(Gateway gateway)
    {
        RegisterCallbacks();
        // A delegate that the binding does not keep alive is collected here; the runtime then ends the
        // process at its next call ("A callback was made on a garbage collected delegate").
        GC.Collect();
        GC.WaitForPendingFinalizers();

        int from = s_log.Count;
        Check.Equal(false, gateway.Login(User, "wrong"), "Login with a wrong password");
        // The client's HRESULT unchanged; the line (219 characters, with a line break) is longer than the
        // binding's first buffer for the text.
        CheckLastError(LoginRejected, from, () => gateway.LoginOrThrow(User, "wrong"),
                       "Login with a wrong password");
        Check.Equal(true, gateway.Login(User, Password), "Login(operator, sipass)");
        CheckNoLastError("Login(operator, sipass)");
        Check.That(s_log.Snapshot().Any(line => line.Value == "Successfully log into SiPass Server"),
                   "the log delegate did not receive \"Successfully log into SiPass Server\"");
        int[] first = s_reports.WaitFor(0, r => true, Patience, "the first connection report");
        Check.Equal("1,0,0", string.Join(",", first), "the first connection report");
        Check.Equal(1ul, Gateway.Statistics.LoggedIn, "LoggedIn after the login");
        Check.Equal(true, gateway.Subscribe(7, 115, 0), "Subscribe(7, 115, 0)");
        Check.Equal(false, gateway.Subscribe(7, 424242, 0), "Subscribe(7, 424242, 0), no such point");
    }

    static long LocalMs(DateTime wallClock)
    {
        return (long)(wallClock - Epoch).TotalMilliseconds;
    }

    // An event time: the local wall-clock time of its delivery, in whole seconds.
    static void CheckFreshTime(long ms, string what)
    {
        long now = LocalMs(DateTime.Now);
        Check.That(ms % 1000 == 0 && Math.Abs(now - ms) < 60000, "{0}: {1} is not a local time of now ({2})",
                   what, ms, now);
    }

    static void TimelineEventsReachTheDelegates()
    {
        ReceivedEvent access = s_events.WaitFor(0, e => e.EventId == 501, Patience, "the access event 501");
        Check.Equal("access", access.Kind, "event 501's callback");
        Check.Equal(111, access.ObjectId, "access objectId");
        Check.Equal(7, access.ObjectType, "access objectType");
        Check.Equal(10, access.Type, "access type");
        Check.Equal(5003, access.SubType, "access subType");
        Check.Equal(2030, access.State, "access state");
        Check.Equal(0, access.StateType, "access stateType");
        // With UnchangedTexts the Greek letters arrive as the client gave them, not through the code page.
        Check.Equal("Γιώργος", access.FirstName, "access firstName");
        Check.Equal("Παπαδόπουλος", access.LastName, "access lastName");
        Check.Equal("000300101", access.CardNumber, "access cardNumber");
        Check.Equal("Tür Nord", access.Location, "access location");
        Check.Equal("Access granted", access.Description, "access description");
        CheckFreshTime(access.TimestampMs, "access timestampMs");
        CheckFreshTime(access.ServerTimeMs, "access serverTimeMs");
        Check.That(access.ThreadId != Environment.CurrentManagedThreadId, "the access event ran on Main's thread");

        ReceivedEvent state = s_events.WaitFor(0, e => e.EventId == 502, Patience, "the state event 502");
        Check.Equal("state", state.Kind, "event 502's callback");
        Check.Equal(123, state.ObjectId, "state objectId");
        Check.Equal(7, state.ObjectType, "state objectType");
        Check.Equal(11, state.Type, "state type");
        Check.Equal(7006, state.SubType, "state subType");
        Check.Equal(3006, state.State, "state state");
        Check.Equal(1, state.StateType, "state stateType");
        Check.Equal("Πόρτα Αρχείου", state.Location, "state location");
        Check.Equal("Door forced", state.Description, "state description");
        CheckFreshTime(state.TimestampMs, "state timestampMs");

        ReceivedEvent generic = s_events.WaitFor(0, e => e.EventId == 503, Patience, "the generic event 503");
        Check.Equal("generic", generic.Kind, "event 503's callback");
        Check.Equal(8, generic.Type, "generic type");
        Check.Equal(6002, generic.SubType, "generic subType");
        Check.Equal("SiPass Server", generic.Location, "generic location");
        Check.Equal("Cardholder record changed", generic.Description, "generic description");
        CheckFreshTime(generic.TimestampMs, "generic timestampMs");
        Check.Equal(3, s_events.Count, "events received before the outage");
    }

    // The site's server goes away 1.5 s after the login for 1.5 s; the gateway logs in again by itself
    // (first attempt after 200 ms, then at most 800 ms apart), the attempts while the server is away fail.
    static void OutageEndsInAnAutomaticRelogin(Gateway gateway)
    {
        s_reports.WaitFor(1, r => r[0] == (int)ConnectionState.Lost, Patience, "the report of the lost connection");
        // Door services fail cleanly while the server is away (it stays away for 1.5 s after the report).
        Check.Equal(null, gateway.GetAllDoors(), "GetAllDoors during the outage");
        int[] back = s_reports.WaitFor(1, r => r[0] == (int)ConnectionState.Connected, Patience,
                                       "the report of the re-login");
        Check.That(back[1] > 0, "the connection came back without an attempt ({0})", string.Join(",", back));
        Check.Equal(1, Volatile.Read(ref s_disconnects[0]), "disconnect callbacks");

        // Lost, then for each attempt Retrying and its outcome, in order; every failure is the refused Connect.
        List<int[]> reports = s_reports.Snapshot();
        string all = string.Join(" ", reports.Select(r => string.Join(",", r)));
        int next = 2;
        Check.Equal("0,0,0", string.Join(",", reports[1]), "the report after the login (" + all + ")");
        for (int attempt = 1; attempt <= back[1]; ++attempt)
        {
            Check.That(next + 1 < reports.Count, "reports end before attempt {0}: {1}", attempt, all);
            Check.Equal("2," + attempt + ",0", string.Join(",", reports[next]), "report of attempt " + attempt);
            string outcome = attempt < back[1] ? "0," + attempt + "," + ConnectionRefused : "1," + attempt + ",0";
            Check.Equal(outcome, string.Join(",", reports[next + 1]), "outcome of attempt " + attempt + " (" + all + ")");
            next += 2;
        }
        Check.That(back[1] >= 2, "the first attempt, 200 ms into a 1.5 s outage, succeeded: {0}", all);
        Check.That(s_log.Snapshot().Any(line => line.Value == "Re-login attempt " + back[1] + " succeeded."),
                   "no log line \"Re-login attempt {0} succeeded.\"", back[1]);
    }

    // serverTime null: the point's state came from an event of the timeline, stamped when it was played.
    static void CheckPoint(PointInfo point, int id, string name, int state, int stateType, DateTime? serverTime,
                           string location, string description)
    {
        string what = "point " + id;
        Check.That(point != null, "{0}: missing", what);
        Check.Equal(id, point.Id, what + " id");
        Check.Equal(name, point.Name, what + " name");
        Check.Equal(state, point.State, what + " state");
        Check.Equal(stateType, point.StateType, what + " stateType");
        if (serverTime.HasValue)
            Check.Equal(LocalMs(serverTime.Value), point.ServerTimeMs, what + " serverTimeMs");
        else
            CheckFreshTime(point.ServerTimeMs, what + " serverTimeMs");
        Check.Equal(location, point.Location, what + " location");
        Check.Equal(description, point.Description, what + " description");
    }

    static void DoorsAreCopiedWhole(Gateway gateway)
    {
        List<DeviceInfo> devices = gateway.GetAllDoors();
        Check.That(devices != null, "GetAllDoors failed after the re-login");
        Check.Equal("1 Bürogebäude 2|7 Lager 1|9 Controller ohne Türen 0",
                    string.Join("|", devices.Select(d => d.Id + " " + d.Name + " " + d.Doors.Count)), "devices");

        DoorInfo north = devices[0].Doors[0];
        Check.Equal(1, north.DoorNumber, "door number of Tür Nord");
        var day = new DateTime(2025, 1, 6, 8, 0, 0);
        CheckPoint(north.Reader1, 111, "Tür Nord Leser außen", 2026, 0, day, "Tür Nord", "Leser außen");
        CheckPoint(north.Reader2, 112, "Tür Nord Leser innen", 2026, 0, day.AddSeconds(1), "Tür Nord", "Leser innen");
        CheckPoint(north.DoorFrame, 113, "Tür Nord Türkontakt", 3004, 0, day.AddSeconds(2), "Tür Nord", "Türkontakt");
        CheckPoint(north.Passback, 114, "Tür Nord Passback", 3001, 0, day.AddSeconds(3), "Tür Nord", "Passback");
        CheckPoint(north.Latch, 115, "Tür Nord Riegel", 4000, 0, day.AddSeconds(4), "Tür Nord", "Riegel");

        DoorInfo archive = devices[0].Doors[1];
        Check.Equal(2, archive.DoorNumber, "door number of Πόρτα Αρχείου");
        CheckPoint(archive.Reader1, 121, "Πόρτα Αρχείου αναγνώστης", 2026, 0, day.AddMinutes(1), "Πόρτα Αρχείου",
                   "αναγνώστης");
        Check.Equal(null, archive.Reader2, "the missing reader 2 of Πόρτα Αρχείου");
        // The timeline's "Door forced" event, played before, moved the point: a read after it agrees with it.
        CheckPoint(archive.DoorFrame, 123, "Πόρτα Αρχείου επαφή", 3006, 1, null, "Πόρτα Αρχείου", "επαφή");
        Check.Equal(null, archive.Passback, "the missing passback of Πόρτα Αρχείου");
        CheckPoint(archive.Latch, 125, "Πόρτα Αρχείου μάνταλο", 4001, 0, day.AddMinutes(6), "Πόρτα Αρχείου",
                   "μάνταλο");

        DoorInfo store = devices[1].Doors[0];
        Check.Equal(4, store.DoorNumber, "door number of Lager");
        var eve = new DateTime(2024, 12, 31, 23, 59, 59);
        CheckPoint(store.Reader1, 211, "Lager reader", 2025, 1, eve, "Lager", "reader");
        CheckPoint(store.Latch, 215, "Lager latch", 4000, 0, eve.AddSeconds(-1), "Lager", "latch");
        Check.That(store.Reader2 == null && store.DoorFrame == null && store.Passback == null,
                   "Lager's door has points the site does not give it");

        // The door count of the export, which the binding does not pass on, through the export itself.
        IntPtr array;
        int deviceCount, doorCount;
        Check.Equal(true, NativeMethods.gateway_getAllDoors(out array, out deviceCount, out doorCount),
                    "gateway_getAllDoors");
        NativeMethods.gateway_cleanupDoorArray(array, deviceCount);
        Check.Equal("3 devices, 3 doors", deviceCount + " devices, " + doorCount + " doors", "the export's counts");
    }

    static void PointStatesAreRead(Gateway gateway)
    {
        PointInfo point = gateway.GetPointState(123);
        Check.That(point != null, "GetPointState(123) failed");
        Check.Equal(3006, point.State, "point 123 state");
        Check.Equal(1, point.StateType, "point 123 stateType");
        CheckFreshTime(point.ServerTimeMs, "point 123 serverTimeMs");
        Check.Equal("Πόρτα Αρχείου", point.Location, "point 123 location");
        Check.Equal("επαφή", point.Description, "point 123 description");
        Check.Equal(null, gateway.GetPointState(424242), "GetPointState of a point the site does not have");
        // Reading and giving back the texts many times: a wrong cleanup shows as a crash or a heap error.
        for (int i = 0; i < 200; ++i)
        {
            Check.Equal("μάνταλο", gateway.GetPointState(125).Description, "point 125 description, read " + i);
        }
    }

    static string Hex(int code)
    {
        return "0x" + code.ToString("X8");
    }

    // After a call that returned false: this thread's last error is `code` with the line the failure logged
    // (its last Error line, else its last Info line, among the lines from `logFrom` on), whole and as the
    // log delegate received it. The call's *OrThrow variant, run next, throws a GatewayException with both.
    static void CheckLastError(int code, int logFrom, Action orThrow, string what)
    {
        List<KeyValuePair<LogLevel, string>> lines = s_log.Snapshot().Skip(logFrom).ToList();
        KeyValuePair<LogLevel, string> line = lines.LastOrDefault(l => l.Key == LogLevel.Error);
        if (line.Value == null)
        {
            line = lines.LastOrDefault(l => l.Key == LogLevel.Info);
        }
        Check.That(line.Value != null, "{0}: logged no Info or Error line", what);

        string text;
        Check.Equal(Hex(code), Hex(Gateway.GetLastError(out text)), what + ": last error code");
        Check.Equal(line.Value, text, what + ": last error text");

        GatewayException thrown = null;
        try
        {
            orThrow();
        }
        catch (GatewayException error)
        {
            thrown = error;
        }
        Check.That(thrown != null, "{0}: the OrThrow variant returned", what);
        Check.Equal(Hex(code), Hex(thrown.Code), what + ": the exception's Code");
        Check.Equal(Hex(code), Hex(thrown.HResult), what + ": the exception's HResult");
        Check.Equal(line.Value, thrown.Message, what + ": the exception's Message");
    }

    static void CheckNoLastError(string what)
    {
        string text;
        Check.Equal(Hex(0), Hex(Gateway.GetLastError(out text)), what + ": last error code after a success");
        Check.Equal("", text, what + ": last error text after a success");
    }

    // The binding's Gateway.GetLastError and *OrThrow after failures of the gateway's own and of the
    // client, and a success after each.
    static void FailuresTellWhy(Gateway gateway)
    {
        int from = s_log.Count;
        Check.Equal(false, Gateway.SetOptions((GatewayOptions)0x80), "SetOptions(0x80), an unknown bit");
        CheckLastError(GatewayErrorCodes.InvalidArgument, from,
                       () => Gateway.SetOptionsOrThrow((GatewayOptions)0x80), "SetOptions(0x80)");
        Gateway.SetOptionsOrThrow(GatewayOptions.UnchangedTexts);
        CheckNoLastError("SetOptionsOrThrow(UnchangedTexts)");
        Check.Equal(false, Gateway.SetDeliveryQueue(1000001), "SetDeliveryQueue(1000001), out of range");
        from = s_log.Count;
        Check.Equal(false, Gateway.SetDeliveryQueue(-1), "SetDeliveryQueue(-1), out of range");
        CheckLastError(GatewayErrorCodes.InvalidArgument, from, () => Gateway.SetDeliveryQueueOrThrow(-1),
                       "SetDeliveryQueue(-1)");
        Gateway.SetDeliveryQueueOrThrow(0);
        CheckNoLastError("SetDeliveryQueueOrThrow(0)");

        from = s_log.Count;
        Check.Equal(false, Gateway.SetConnectionCheck(999), "SetConnectionCheck(999), below the range");
        CheckLastError(GatewayErrorCodes.InvalidArgument, from, () => Gateway.SetConnectionCheckOrThrow(999),
                       "SetConnectionCheck(999)");
        Gateway.SetConnectionCheckOrThrow(0);
        CheckNoLastError("SetConnectionCheckOrThrow(0)");

        from = s_log.Count;
        Check.Equal(null, gateway.GetPointState(424242), "GetPointState(424242), no such point");
        CheckLastError(NoObject, from, () => gateway.GetPointStateOrThrow(424242), "GetPointState(424242)");
        Check.Equal("μάνταλο", gateway.GetPointStateOrThrow(125).Description, "GetPointStateOrThrow(125)");
        CheckNoLastError("GetPointStateOrThrow(125)");
        Check.Equal(3, gateway.GetAllDoorsOrThrow().Count, "devices of GetAllDoorsOrThrow");
        CheckNoLastError("GetAllDoorsOrThrow");
    }

    static void DoorCommandsChangeTheLatch(Gateway gateway)
    {
        int from = s_events.Count;
        Check.Equal(true, gateway.ControlDoor(7, 115, 2), "ControlDoor(7, 115, 2), unlock");
        ReceivedEvent unlocked = s_events.WaitFor(from, e => e.ObjectId == 115, Patience,
                                                  "the state event of the unlock");
        Check.Equal("state 7 11 7006 4001 0 Tür Nord Riegel",
                    string.Join(" ", unlocked.Kind, unlocked.ObjectType, unlocked.Type, unlocked.SubType,
                                unlocked.State, unlocked.StateType, unlocked.Location, unlocked.Description),
                    "the unlock's event");
        CheckFreshTime(unlocked.TimestampMs, "the unlock's timestampMs");
        PointInfo latch = gateway.GetPointState(115);
        Check.Equal(4001, latch.State, "point 115 after the unlock");
        Check.Equal(unlocked.ServerTimeMs, latch.ServerTimeMs, "point 115's server time after the unlock");

        // Momentary unlock: unlocked, then locked, two events in this order.
        from = s_events.Count;
        Check.Equal(true, gateway.ControlDoor(7, 115, 3), "ControlDoor(7, 115, 3), momentary unlock");
        s_events.WaitFor(from, e => e.ObjectId == 115 && e.State == 4000, Patience, "the momentary unlock's lock");
        string states = string.Join(",", s_events.Snapshot().Skip(from).Where(e => e.ObjectId == 115)
                                             .Select(e => e.State));
        Check.Equal("4001,4000", states, "the momentary unlock's events");
        Check.Equal(4000, gateway.GetPointState(115).State, "point 115 after the momentary unlock");

        // Refusals come back as false, never as true from a stray byte of the return register.
        Check.Equal(false, gateway.ControlDoor(7, 113, 2), "ControlDoor(7, 113, 2), a door contact cannot unlock");
        Check.Equal(false, gateway.ControlDoor(7, 424242, 1), "ControlDoor(7, 424242, 1), no such point");
        Check.That(s_log.Snapshot().Any(line => line.Key == LogLevel.Error &&
                                                line.Value.StartsWith("Send ManualCommand failed")),
                   "no Error line for the refused command");
    }

    static void EventsFlowAfterTheRelogin()
    {
        ReceivedEvent refused = s_events.WaitFor(0, e => e.EventId == 504, Patience, "the access event 504");
        Check.Equal("access 211 2040 1 Mia Keller 000400001 Lager Access refused",
                    string.Join(" ", refused.Kind, refused.ObjectId, refused.State, refused.StateType,
                                refused.FirstName, refused.LastName, refused.CardNumber, refused.Location,
                                refused.Description),
                    "event 504");
    }

    static void StatisticsCountWhatHappened()
    {
        List<ReceivedEvent> events = s_events.Snapshot();
        List<int[]> reports = s_reports.Snapshot();
        GatewayStatistics s = Gateway.Statistics;
        string counts = string.Join(" ", s.AccessEventsReceived, s.ObjectStateEventsReceived,
                                    s.GenericEventsReceived, s.AccessEventsDelivered, s.ObjectStateEventsDelivered,
                                    s.GenericEventsDelivered);
        int access = events.Count(e => e.Kind == "access");
        int state = events.Count(e => e.Kind == "state");
        int generic = events.Count(e => e.Kind == "generic");
        Check.Equal("2 4 1", access + " " + state + " " + generic, "events through the delegates");
        Check.Equal("2 4 1 2 4 1", counts, "events received and delivered (access, state, generic)");
        Check.Equal("0 0 0 0 0 0", string.Join(" ", s.EventsDroppedTooOld, s.EventsWithoutCallback,
                                                s.EventsAbandonedAtGetter, s.MalformedArrays, s.HostCallbacksRaised,
                                                s.LogCallsRaised),
                    "dropped, without callback, abandoned, malformed, callbacks raised, log calls raised");
        int attempts = reports.Count(r => r[0] == (int)ConnectionState.Retrying);
        Check.Equal("1 " + attempts + " 1", s.ConnectionLosses + " " + s.ReloginAttempts + " " + s.ReloginSuccesses,
                    "losses, re-login attempts, successes");
        Check.Equal(1ul, s.LoggedIn, "LoggedIn");
        long now = LocalMs(DateTime.Now);
        Check.That(Math.Abs(now - (long)s.LastEventReceivedMs) < 60000 && Math.Abs(now - (long)s.LastLoginMs) < 60000,
                   "LastEventReceivedMs {0} and LastLoginMs {1} are not local times of now ({2})",
                   s.LastEventReceivedMs, s.LastLoginMs, now);
        Check.That(s.LongestHostCallbackUs < 10000000, "LongestHostCallbackUs {0}", s.LongestHostCallbackUs);
    }

    static void OptionsChangeTimesAndTexts(Gateway gateway)
    {
        // Point 121, which no event of the timeline moves, keeps the time of the site file.
        var local = new DateTime(2025, 1, 6, 8, 1, 0);
        Check.Equal(true, Gateway.SetOptions(GatewayOptions.UtcTimes | GatewayOptions.UnchangedTexts),
                    "SetOptions(UtcTimes | UnchangedTexts)");
        long utcMs = gateway.GetPointState(121).ServerTimeMs;
        Check.Equal(true, Gateway.SetOptions(GatewayOptions.None), "SetOptions(None)");
        long localMs = gateway.GetPointState(121).ServerTimeMs;
        Check.Equal(LocalMs(local), localMs, "point 121's server time without options");
        TimeSpan offset = TimeZoneInfo.Local.GetUtcOffset(DateTime.SpecifyKind(local, DateTimeKind.Local));
        Check.Equal((long)offset.TotalMilliseconds, localMs - utcMs, "local minus UTC server time of point 121");
        Check.That(s_log.Snapshot().Any(line => line.Value == "gateway_setOptions: UTC times, unchanged texts."),
                   "no log line for the options");
    }

    static void CloseLeavesNothing(Gateway gateway)
    {
        int events = s_events.Count;
        int reports = s_reports.Count;
        gateway.Dispose();
        Check.That(s_log.Snapshot().Any(line => line.Value == "SIPASSVORMEKGATEWAY_API: close called"),
                   "no log line for the close");
        Check.Equal(0ul, Gateway.Statistics.LoggedIn, "LoggedIn after the close");
        Check.Equal(true, NativeMethods.gateway_Close(), "a second gateway_Close");
        Check.Equal(null, gateway.GetAllDoors(), "GetAllDoors after the close");
        Check.Equal(false, gateway.ControlDoor(7, 115, 2), "ControlDoor after the close");
        Check.That(SimulatedClient.RevokeAndCheckUnloadable(TimeSpan.FromSeconds(5)),
                   "the simulator still has live objects or threads 5 s after the close");
        Check.Equal(events, s_events.Count, "events received after the close");
        Check.Equal(reports, s_reports.Count, "connection reports after the close");
        Gateway.SetLog(null);
    }
}
