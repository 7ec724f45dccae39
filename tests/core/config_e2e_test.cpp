// The real daemon configured by -c: a plain file, and an executable one whose
// output is read instead.
#include "harness.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

TEST(ConfigFile, PlainAndExecutableConfigurationsApplyBeforeTheCommandLine)
{
    std::string dir = temp_dir();
    // help and config in the file change nothing; the command line has the last word.
    std::string lines = "# ports\n[channels]\npublish_command_port = 6002\n"
                        "pull_command_port = 6004\nhelp\nconfig = /elsewhere\n";
    // The script records the signals blocked in each of its two runs: the second
    // one happens while the daemon blocks SIGINT and SIGTERM, which it must not
    // inherit. (Perl, because a shell clears its mask itself.)
    std::string script = "#!/usr/bin/perl\nopen(my $s, '<', '/proc/self/status');\n"
                         "open(my $r, '>>', '" +
                         dir +
                         "/runs');\n"
                         "print $r grep(/^SigBlk/, <$s>);\nprint \"" +
                         lines + "\";\n";
    for (std::string text : {lines, script}) {
        std::string path = dir + (text == lines ? "/vexlond.conf" : "/vexlond.pl");
        std::ofstream(path) << text;
        chmod(path.c_str(), text == lines ? 0644 : 0755);
        daemon_proc d;
        daemon_start(d, {"-c", path, "-v", "-v", "--pull_command_port", "5554"});
        EXPECT_NE(
            daemon_stdout(d).find("Configuration file: " + path + "\nPorts: 5551 6002 5553 5554\n"),
            std::string::npos)
            << daemon_stdout(d);
        EXPECT_EQ(daemon_stderr(d), "");
        EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
    }
    EXPECT_EQ(read_file(dir + "/runs"), "SigBlk:\t0000000000000000\nSigBlk:\t0000000000000000\n");
}

} // namespace
