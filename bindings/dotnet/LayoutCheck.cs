// Prints the size and field offsets of every record as the .NET marshaller lays them out, and the values of
// the binding's constants, in the same format as tests/bindings/RecordLayout.c prints the C compiler's
// layout and the header's values, so that the two can be compared.
// The binding's test (tests/bindings/BindingTests.cs) compares Text() with the C side on the runtime it runs.
using System;
using System.Runtime.InteropServices;
using System.Text;
using SiPassVormek;

public static class LayoutCheck
{
    static void Print(StringBuilder text, Type type, params string[] fields)
    {
        text.AppendFormat("{0} size={1}", type.Name, Marshal.SizeOf(type));
        foreach (string field in fields)
        {
            text.AppendFormat(" {0}={1}", field, Marshal.OffsetOf(type, field).ToInt64());
        }
        text.Append('\n');
    }

    static void Code(StringBuilder text, string name, int code)
    {
        text.AppendFormat(" {0}=0x{1:X8}", name, code);
    }

    public static string Text()
    {
        var text = new StringBuilder();
        Print(text, typeof(PointState), "State", "StateType", "ServerTimeMs", "Location", "Description");
        Print(text, typeof(PointDefinition), "Id", "Name", "State");
        Print(text, typeof(Doorset), "DoorNumber", "Reader1", "Reader2", "DoorFrame", "Passback", "Latch");
        Print(text, typeof(Device), "Id", "Name", "DoorsetCount", "Doorsets");
        Print(text, typeof(GatewayStatistics), "Version", "AccessEventsReceived", "MalformedArrays", "LoggedIn",
              "LongestHostCallbackUs", "EventsQueued", "ConnectionCheckFailures");
        text.AppendFormat("GatewayOptions UtcTimes={0} UnchangedTexts={1}\n", (uint)GatewayOptions.UtcTimes,
                          (uint)GatewayOptions.UnchangedTexts);
        text.Append("GatewayErrorCodes");
        Code(text, "NotLoggedIn", GatewayErrorCodes.NotLoggedIn);
        Code(text, "InsideCallback", GatewayErrorCodes.InsideCallback);
        Code(text, "InsideLog", GatewayErrorCodes.InsideLog);
        Code(text, "InvalidArgument", GatewayErrorCodes.InvalidArgument);
        Code(text, "OutOfMemory", GatewayErrorCodes.OutOfMemory);
        Code(text, "ClientRaised", GatewayErrorCodes.ClientRaised);
        Code(text, "Raised", GatewayErrorCodes.Raised);
        Code(text, "NoCallback", GatewayErrorCodes.NoCallback);
        Code(text, "NotFound", GatewayErrorCodes.NotFound);
        Code(text, "Malformed", GatewayErrorCodes.Malformed);
        Code(text, "ProcessToken", GatewayErrorCodes.ProcessToken);
        Code(text, "Failed", GatewayErrorCodes.Failed);
        text.Append('\n');
        return text.ToString();
    }

    static int Main()
    {
        Console.Write(Text());
        return 0;
    }
}
