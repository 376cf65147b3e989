// Prints the size and field offsets of every record as the .NET marshaller lays them out, in the same
// format as tests/bindings/RecordLayout.c prints the C compiler's layout, so that the two can be compared.
using System;
using System.Runtime.InteropServices;
using SiPassVormek;

static class LayoutCheck
{
    static void Print(Type type, params string[] fields)
    {
        Console.Write("{0} size={1}", type.Name, Marshal.SizeOf(type));
        foreach (string field in fields)
        {
            Console.Write(" {0}={1}", field, Marshal.OffsetOf(type, field).ToInt64());
        }
        Console.Write("\n");
    }

    static int Main()
    {
        Print(typeof(PointState), "State", "StateType", "ServerTimeMs", "Location", "Description");
        Print(typeof(PointDefinition), "Id", "Name", "State");
        Print(typeof(Doorset), "DoorNumber", "Reader1", "Reader2", "DoorFrame", "Passback", "Latch");
        Print(typeof(Device), "Id", "Name", "DoorsetCount", "Doorsets");
        Print(typeof(GatewayStatistics), "Version", "AccessEventsReceived", "MalformedArrays", "LoggedIn",
              "LongestHostCallbackUs");
        Console.Write("GatewayOptions UtcTimes={0} UnchangedTexts={1}\n", (uint)GatewayOptions.UtcTimes,
                      (uint)GatewayOptions.UnchangedTexts);
        return 0;
    }
}
