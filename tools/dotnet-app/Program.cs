// The entry point exactly as the README shows app teams (a test compares the two).
using System;

public static class Program
{
    [STAThread]
    public static int Main(string[] args)
    {
        // Started by Corvane Lite to prove the runtime: answer before anything else runs.
        if (args.Length == 1 && args[0] == "--corvane-runtime-probe")
            return 0;

        var app = new App();
        app.InitializeComponent();
        return app.Run();
    }
}
