// The real start: a WPF application records what it was started with and which runtime it really runs
// on, then ends. It opens no window: under Wine 8 a WPF window never finishes appearing, and the tests
// need only the record.
//
//   CORVANE_TEST_RECORD  file to append one line of JSON to, with the members command_line, directory,
//                        runtime_version, core_library (System.Private.CoreLib as loaded),
//                        runtime_directory, desktop_library (PresentationFramework as loaded) and
//                        environment (the runtime's variables and CORVANE_BOOTSTRAP_PATH, null when
//                        unset)
//   CORVANE_TEST_STARTED_EVENT  name of an existing event to set as soon as Main goes on past the probe
//                        branch (the warm-start bench's end mark; a probe run never sets it)
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.Json;
using System.Threading;
using System.Windows;

public partial class App : Application
{
    static readonly string[] RecordedVariables =
    {
        "DOTNET_ROOT_X64", "DOTNET_ROOT", "DOTNET_MULTILEVEL_LOOKUP", "DOTNET_DISABLE_GUI_ERRORS",
        "CORVANE_BOOTSTRAP_PATH",
    };

    [DllImport("kernel32.dll", CharSet = CharSet.Unicode)]
    static extern IntPtr GetCommandLineW();

    // Main creates the application right after its probe branch, so this is where a user's wait ends.
    public App()
    {
        string? startedEvent = Environment.GetEnvironmentVariable("CORVANE_TEST_STARTED_EVENT");
        if (!string.IsNullOrEmpty(startedEvent) && EventWaitHandle.TryOpenExisting(startedEvent, out EventWaitHandle? started))
        {
            using (started)
            {
                started.Set();
            }
        }
    }

    void RecordAndEnd(object sender, StartupEventArgs e)
    {
        string? recordFile = Environment.GetEnvironmentVariable("CORVANE_TEST_RECORD");
        if (!string.IsNullOrEmpty(recordFile))
        {
            Append(recordFile, Record());
        }
        Shutdown(0);
    }

    static byte[] Record()
    {
        using var buffer = new MemoryStream();
        using (var json = new Utf8JsonWriter(buffer))
        {
            json.WriteStartObject();
            // The command line as the process received it, not as .NET splits it into arguments.
            json.WriteString("command_line", Marshal.PtrToStringUni(GetCommandLineW()));
            json.WriteString("directory", Environment.CurrentDirectory);
            json.WriteString("runtime_version", Environment.Version.ToString());
            // The framework assemblies come from the runtime root, never from the bundle, so their
            // locations name the root that really serves the app.
#pragma warning disable IL3000
            json.WriteString("core_library", typeof(object).Assembly.Location);
            json.WriteString("desktop_library", typeof(Application).Assembly.Location);
#pragma warning restore IL3000
            json.WriteString("runtime_directory", RuntimeEnvironment.GetRuntimeDirectory());
            json.WriteStartObject("environment");
            foreach (string name in RecordedVariables)
            {
                json.WriteString(name, Environment.GetEnvironmentVariable(name));
            }
            json.WriteEndObject();
            json.WriteEndObject();
        }
        buffer.WriteByte((byte)'\n');
        return buffer.ToArray();
    }

    // One write of the whole line, so a reader never takes half a record for a whole one.
    static void Append(string file, byte[] line)
    {
        using var stream = new FileStream(file, FileMode.Append, FileAccess.Write, FileShare.ReadWrite);
        stream.Write(line, 0, line.Length);
    }
}
