// The module in a real pd -nogui against the board simulator, and the help
// patch, the demo patch and the installed folder.
#include <gtest/gtest.h>

#include "pd_process.h"
#include "pty.h"

#include <csignal>
#include <iterator>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A veltrix-board process: lines to its standard input, and its standard
// output (received frames) and standard error (status lines) collected.
class Board : public ChildProcess {
  public:
    explicit Board(const std::vector<std::string> &args,
                   const std::string &executable = BOARD_EXECUTABLE)
        : ChildProcess(command(executable, args))
    {
    }
    bool wait_out(const std::string &text, int ms) { return wait_line(out_stream, text, ms); }
    bool wait_err(const std::string &text, int ms, int nth = 1)
    {
        return wait_line(err_stream, text, ms, nth);
    }
    const std::vector<std::string> &out() const { return lines(out_stream); }

  private:
    static std::vector<std::string> command(const std::string &executable,
                                            const std::vector<std::string> &args)
    {
        std::vector<std::string> all = {executable};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
};

constexpr int wait_ms = 5000;
const std::string opened = "the patch opened the port";

// Lines that say a patch did not load clean.
int errors(const PdProcess &pd)
{
    return pd.count("error") + pd.count("couldn't create");
}

// The patch lines followed by a loadbang that quits Pd after `ms`.
std::vector<std::string> with_quit(std::vector<std::string> lines, int ms)
{
    int n = 0;
    for (auto &l : lines)
        n += l.rfind("connect ", 0) != 0;
    auto at = [n](int i) { return std::to_string(n + i); };
    lines.push_back("obj 400 10 loadbang");
    lines.push_back("obj 400 40 delay " + std::to_string(ms));
    lines.push_back("msg 400 70 \\; pd quit");
    lines.push_back("connect " + at(0) + " 0 " + at(1) + " 0");
    lines.push_back("connect " + at(1) + " 0 " + at(2) + " 0");
    return lines;
}

TEST(Board, ValuesReachTheReceiversOfTheirTagOnly)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    Board board({"--link", link});
    ASSERT_TRUE(board.wait_err(link, wait_ms)) << board.log();
    // The 40-character tag is cut to its first 31 on the way.
    std::string patch =
        dir.write("p.pd", pd_patch({"obj 10 10 Veltrix open " + link,
                                    "obj 10 40 Veltrix receive knob", "obj 10 70 print k1",
                                    "obj 200 40 Veltrix receive knob", "obj 200 70 print k2",
                                    "obj 10 100 Veltrix receive other", "obj 10 130 print other",
                                    "obj 200 100 Veltrix receive abcdefghijklmnopqrstuvwxyz01234",
                                    "obj 200 130 print long", "connect 1 0 2 0", "connect 3 0 4 0",
                                    "connect 5 0 6 0", "connect 7 0 8 0"}));
    PdProcess pd(patch);
    ASSERT_TRUE(board.wait_err(opened, wait_ms)) << board.log() << pd.console();
    board.send("knob 0.25");
    board.send("other -7");
    board.send("abcdefghijklmnopqrstuvwxyz0123456789ABCD 3");
    board.send("nobody 9");
    ASSERT_TRUE(pd.wait_line("long: 3", wait_ms)) << pd.console();
    pd.collect(300);
    EXPECT_EQ(pd.count("k1: 0.25"), 1) << pd.console();
    EXPECT_EQ(pd.count("k2: 0.25"), 1) << pd.console();
    EXPECT_EQ(pd.count("other: -7"), 1) << pd.console();
    EXPECT_EQ(pd.count("k1:") + pd.count("k2:") + pd.count("other:") + pd.count("long:"), 4)
        << pd.console();
    EXPECT_EQ(pd.count(": 9"), 0) << pd.console();
}

// Pd hands a number in the box over as a float atom: the tag is its text.
TEST(Board, NumbersAsTagsAreTheirText)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    Board board({"--link", link, "--hex"});
    ASSERT_TRUE(board.wait_err(link, wait_ms));
    std::string patch = dir.write(
        "p.pd",
        pd_patch({"obj 10 10 Veltrix open " + link, "obj 10 40 Veltrix receive 3.5",
                  "obj 10 70 print three", "msg 10 100 2", "obj 10 130 Veltrix send 7",
                  "obj 200 40 Veltrix receive float", "obj 200 70 print float", "connect 1 0 2 0",
                  "connect 1 0 3 0", "connect 3 0 4 0", "connect 5 0 6 0"}));
    PdProcess pd(patch);
    ASSERT_TRUE(board.wait_err(opened, wait_ms)) << board.log() << pd.console();
    board.send("3.5 1");
    EXPECT_TRUE(pd.wait_line("three: 1", wait_ms)) << pd.console();
    EXPECT_TRUE(board.wait_out("7 2 [aa 37 00 00 00 00 40]", wait_ms)) << board.log();
    board.send("float 4");
    EXPECT_TRUE(pd.wait_line("float: 4", wait_ms)) << pd.console();
    EXPECT_EQ(pd.count("three:"), 1) << pd.console();
}

TEST(Board, TwoBoardsGetEverySentFloatByteExactAndBothReachThePatch)
{
    TempDir dir;
    std::string a = dir.path() + "/a", b = dir.path() + "/b";
    Board board_a({"--link", a, "--hex"});
    Board board_b({"--link", b, "--hex"});
    ASSERT_TRUE(board_a.wait_err(a, wait_ms) && board_b.wait_err(b, wait_ms));
    // A frame on "go" from either board makes the patch send four values,
    // each as the nearest 32-bit float whatever the width of Pd's floats.
    std::string patch =
        dir.write("p.pd", pd_patch({"obj 10 10 Veltrix open " + a, "obj 10 40 Veltrix open " + b,
                                    "obj 10 70 Veltrix receive go",
                                    "msg 10 100 1 \\, 0.1 \\, -2.5e+30 \\, 1e+39",
                                    "obj 10 130 Veltrix send led",
                                    "obj 200 70 Veltrix receive knob", "obj 200 100 print knob",
                                    "connect 2 0 3 0", "connect 3 0 4 0", "connect 5 0 6 0"}));
    PdProcess pd(patch);
    ASSERT_TRUE(board_a.wait_err(opened, wait_ms) && board_b.wait_err(opened, wait_ms))
        << board_a.log() << board_b.log() << pd.console();
    board_b.send("knob 2");
    board_a.send("knob 1");
    EXPECT_TRUE(pd.wait_line("knob: 1", wait_ms)) << pd.console();
    EXPECT_TRUE(pd.wait_line("knob: 2", wait_ms)) << pd.console();

    board_a.send("go 1");
    const char *expected[] = {
        "led 1 [aa 6c 65 64 00 00 00 80 3f]", "led 0.1 [aa 6c 65 64 00 cd cc cc 3d]",
        "led -2.5e+30 [aa 6c 65 64 00 7c 6f fc f1]", "led inf [aa 6c 65 64 00 00 00 80 7f]"};
    for (Board *board : {&board_a, &board_b}) {
        ASSERT_TRUE(board->wait_out(expected[3], wait_ms)) << board->log() << pd.console();
        std::vector<std::string> want(std::begin(expected), std::end(expected));
        EXPECT_EQ(board->out(), want);
    }
}

// At the default poll, and read from Pd's own check for input (`poll 0`),
// where a hang-up must leave nothing in the check: a dead descriptor there
// makes Pd spin at a whole core while the board is away.
void hangs_up_and_comes_back(const std::string &poll)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    Board board({"--link", link, "--hangup-for", poll.empty() ? "0" : "1.5"});
    ASSERT_TRUE(board.wait_err(link, wait_ms));
    std::string patch = dir.write(
        "p.pd",
        pd_patch({"obj 10 10 Veltrix open " + link, "obj 10 40 Veltrix receive knob",
                  "obj 10 70 print knob", "obj 200 40 Veltrix receive back",
                  "obj 200 70 Veltrix send led", "msg 300 10 " + poll, "obj 300 40 loadbang",
                  "connect 1 0 2 0", "connect 3 0 4 0", "connect 6 0 5 0", "connect 5 0 0 0"}));
    PdProcess pd(patch);
    ASSERT_TRUE(board.wait_err(opened, wait_ms)) << board.log() << pd.console();
    board.send("knob 1");
    ASSERT_TRUE(pd.wait_line("knob: 1", wait_ms)) << pd.console();

    board.signal(SIGUSR1);
    EXPECT_TRUE(pd.wait_line("ReadFile(" + link + ") failed, closing connection", wait_ms))
        << pd.console();
    if (!poll.empty()) {
        pd.collect(200);
        double before = pd.cpu_seconds();
        pd.collect(1000);
        EXPECT_LT(pd.cpu_seconds() - before, 0.5) << "Pd spun while the board was away";
    }
    ASSERT_TRUE(board.wait_err(opened, wait_ms, 2)) << board.log() << pd.console();
    int connects = 0;
    EXPECT_TRUE(pd.wait_for(
        [&](const std::string &l) {
            return l.find("connected " + link + " ok!") != std::string::npos && ++connects == 2;
        },
        wait_ms))
        << pd.console();
    board.send("knob 2");
    EXPECT_TRUE(pd.wait_line("knob: 2", wait_ms)) << pd.console();
    board.send("back 5");
    EXPECT_TRUE(board.wait_out("led 5", wait_ms)) << board.log();
}

TEST(Board, ReconnectsAfterTheBoardHangsUpAndComesBack)
{
    for (std::string poll : {"", "poll 0"}) {
        SCOPED_TRACE(poll);
        hangs_up_and_comes_back(poll);
    }
}

// Also from inside Pd's check at `poll 0`, where the port closes at the next tick.
void deleting_closes_for_good(const std::string &poll)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    Board board({"--link", link});
    ASSERT_TRUE(board.wait_err(link, wait_ms));
    std::string text = pd_patch({"obj 10 10 Veltrix receive del", "msg 10 40 \\; pd-sub clear"});
    text += "#N canvas 0 0 300 200 sub 0;\n#X obj 10 10 Veltrix open " + link + ";\n#X msg 10 40 " +
            poll + ";\n#X obj 10 70 loadbang;\n#X connect 2 0 1 0;\n#X connect 1 0 0 0;\n" +
            "#X restore 10 80 pd sub;\n#X connect 0 0 1 0;\n";
    PdProcess pd(dir.write("p.pd", text));
    ASSERT_TRUE(board.wait_err(opened, wait_ms)) << board.log() << pd.console();
    board.send("del 1");
    EXPECT_TRUE(board.wait_err("the patch closed the port", wait_ms)) << board.log();
    EXPECT_TRUE(pd.wait_line("Veltrix_free CloseHandle(" + link + ")", wait_ms)) << pd.console();
    // Gone for good: no attempt to open the port again.
    pd.collect(1500);
    EXPECT_EQ(pd.count("connecting " + link), 1) << pd.console();
    EXPECT_EQ(board.count(ChildProcess::err_stream, opened), 1) << board.log();
}

TEST(Board, DeletingAConnectedBoardClosesItsPortForGood)
{
    for (std::string poll : {"", "poll 0"}) {
        SCOPED_TRACE(poll);
        deleting_closes_for_good(poll);
    }
}

TEST(Board, SequenceArrivesWholeAndInOrder)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    constexpr int count = 50000;
    Board board({"--link", link, "--sequence", "seq", "--count", std::to_string(count)});
    ASSERT_TRUE(board.wait_err(link, wait_ms));
    // Each value is compared with the number of values before it.
    std::string patch = dir.write("p.pd", pd_patch({"obj 10 10 Veltrix open " + link,
                                                    "obj 10 40 Veltrix receive seq",
                                                    "obj 10 70 t f b",
                                                    "obj 150 100 f",
                                                    "obj 200 100 + 1",
                                                    "obj 10 130 !=",
                                                    "obj 10 160 sel 1",
                                                    "obj 10 190 print MISMATCH",
                                                    "obj 100 160 sel " + std::to_string(count - 1),
                                                    "obj 100 190 print LAST",
                                                    "connect 1 0 2 0",
                                                    "connect 2 1 3 0",
                                                    "connect 3 0 4 0",
                                                    "connect 4 0 3 1",
                                                    "connect 3 0 5 1",
                                                    "connect 2 0 5 0",
                                                    "connect 5 0 6 0",
                                                    "connect 6 0 7 0",
                                                    "connect 2 0 8 0",
                                                    "connect 8 0 9 0"}));
    PdProcess pd(patch);
    EXPECT_TRUE(pd.wait_line("LAST: bang", 30000)) << pd.console();
    EXPECT_EQ(board.wait_exit(wait_ms), 0) << board.log();
    EXPECT_EQ(board.count(ChildProcess::err_stream,
                          "sequence seq: " + std::to_string(count) + " frames in"),
              1)
        << board.log();
    EXPECT_EQ(pd.count("MISMATCH"), 0);
}

TEST(Simulator, ReplacesAStaleLinkAndRemovesItOnASignal)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    ASSERT_EQ(symlink("/dev/pts/does-not-exist", link.c_str()), 0);
    for (int sig : {SIGINT, SIGTERM}) {
        Board board({"--link", link});
        ASSERT_TRUE(board.wait_err(link, wait_ms)) << board.log();
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
        board.signal(sig);
        EXPECT_EQ(board.wait_exit(wait_ms), 0) << board.log();
        struct stat st;
        EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left after signal " << sig;
    }
}

TEST(Simulator, EndsAfterQuitAfterWhateverStandardInputDoes)
{
    TempDir dir;
    Board board({"--link", dir.path() + "/b0", "--quit-after", "0.5", "--quiet"});
    board.close_stdin();
    EXPECT_EQ(board.wait_exit(wait_ms), 0) << board.log();
    EXPECT_EQ(board.lines(ChildProcess::err_stream).size(), 0u) << board.log();
}

TEST(Simulator, HangsUpOnScheduleAndComesBackOnThePath)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    Board board({"--link", link, "--hangup-after", "0.3", "--hangup-for", "0.6"});
    ASSERT_TRUE(board.wait_err("hanging up for 0.6 s", wait_ms)) << board.log();
    // The link goes with the port, and comes back with a new one.
    struct stat st;
    bool gone = false;
    for (int i = 0; i < 40 && !gone; i++, usleep(10000))
        gone = lstat(link.c_str(), &st) != 0;
    EXPECT_TRUE(gone);
    ASSERT_TRUE(board.wait_err(link + " -> ", wait_ms, 2)) << board.log();
    EXPECT_EQ(lstat(link.c_str(), &st), 0);
}

// A pseudo-terminal's slave stands for the real port, its master for the
// other end of the line.
TEST(Simulator, PlaysABoardOnARealPort)
{
    Pty line;
    ASSERT_TRUE(line.ok());
    Board board({"--port", line.slave(), "--echo", "--quit-after", "10"});
    ASSERT_TRUE(board.wait_err(line.slave() + " open at 115200 8N1", wait_ms)) << board.log();
    const std::vector<uint8_t> led_one = {0xAA, 0x6C, 0x65, 0x64, 0x00, 0x00, 0x00, 0x80, 0x3F};
    ASSERT_TRUE(line.write(led_one));
    EXPECT_TRUE(board.wait_out("led 1", wait_ms)) << board.log();
    EXPECT_EQ(line.read(led_one.size(), wait_ms), led_one);
    board.signal(SIGTERM);
    EXPECT_EQ(board.wait_exit(wait_ms), 0) << board.log();
}

TEST(Simulator, RefusesBadArgumentsAndPortsItCannotOpen)
{
    TempDir dir;
    std::string file = dir.write("plain", "not a link");
    struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{}, 2},
        {{"--link"}, 2},
        {{"--link", dir.path() + "/b", "--port", "/dev/null"}, 2},
        {{"--link", dir.path() + "/b", "--rate", "0"}, 2},
        {{"--link", dir.path() + "/b", "--count", "12x"}, 2},
        {{"--link", dir.path() + "/b", "--bogus"}, 2},
        {{"--port", dir.path() + "/missing"}, 1},
        {{"--port", "/dev/null"}, 1}, // not a serial port
        {{"--port", "/dev/null", "--baud", "1234"}, 1},
        {{"--link", file}, 1}, // a real file is not replaced
        {{"--link", dir.path() + "/no/such/dir/b"}, 1},
    };
    for (auto &c : cases) {
        Board board(c.args);
        std::string args;
        for (auto &a : c.args)
            args += a + " ";
        EXPECT_EQ(board.wait_exit(wait_ms), c.status) << args << "\n" << board.log();
        EXPECT_GT(board.count(ChildProcess::err_stream, "error:"), 0) << args;
    }
    // A rate for a pseudo-terminal, which has none, is worth a word.
    Board rate({"--link", dir.path() + "/r", "--baud", "9600", "--quit-after", "0"});
    EXPECT_EQ(rate.wait_exit(wait_ms), 0) << rate.log();
    EXPECT_EQ(rate.count(ChildProcess::err_stream, "warning: --baud does nothing with --link"), 1)
        << rate.log();
    // Help is an answer, not a board: no link is made.
    Board help({"--link", dir.path() + "/h", "--help"});
    EXPECT_EQ(help.wait_exit(wait_ms), 0) << help.log();
    EXPECT_EQ(help.count(ChildProcess::out_stream, "usage: veltrix-board"), 1) << help.log();
    EXPECT_NE(access((dir.path() + "/h").c_str(), F_OK), 0);
}

TEST(Simulator, EchoesAndGeneratesWhileThePatchListens)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    Board board({"--link", link, "--echo", "--counter", "knob", "--sine", "wave", "--rate", "20"});
    ASSERT_TRUE(board.wait_err(link, wait_ms));
    std::string patch = dir.write(
        "p.pd", pd_patch({"obj 10 10 Veltrix open " + link, "obj 10 40 Veltrix receive knob",
                          "obj 10 70 print knob", "obj 200 40 Veltrix receive wave",
                          "obj 200 70 print wave", "obj 10 100 Veltrix send ping",
                          "obj 200 100 Veltrix receive ping", "obj 200 130 print echo",
                          "obj 10 130 Veltrix receive knob", "obj 10 160 sel 3", "msg 10 190 42",
                          "connect 1 0 2 0", "connect 3 0 4 0", "connect 6 0 7 0",
                          "connect 8 0 9 0", "connect 9 0 10 0", "connect 10 0 5 0"}));
    PdProcess pd(patch);
    // The counter starts at 0 once the patch opens the port, none skipped.
    ASSERT_TRUE(pd.wait_line("knob: 3", wait_ms)) << pd.console();
    for (const char *v : {"knob: 0", "knob: 1", "knob: 2"})
        EXPECT_EQ(pd.count(v), 1) << v << "\n" << pd.console();
    EXPECT_TRUE(pd.wait_line("wave: ", wait_ms)) << pd.console();
    EXPECT_TRUE(pd.wait_line("echo: 42", wait_ms)) << pd.console();
    EXPECT_TRUE(board.wait_out("ping 42", wait_ms)) << board.log();
}

TEST(Patches, HelpPatchLoadsCleanAndMakesItsBoardOnlyWhenAsked)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    Board board({"--link", link});
    ASSERT_TRUE(board.wait_err(link, wait_ms));
    // What the help's "open" message and its [pd poll] do, with the test's
    // port, once the help (opened after this patch) is loaded.
    std::string driver = dir.write(
        "driver.pd",
        pd_patch(with_quit(
            {"msg 10 10 \\; veltrix-help-board open " + link + " \\; veltrix-help-board poll 1",
             "obj 10 40 loadbang", "obj 10 70 delay 100", "connect 1 0 2 0", "connect 2 0 0 0"},
            1500)));
    PdProcess pd(SOURCE_DIR "/help/help-Veltrix-help.pd", {"-open", driver});
    EXPECT_EQ(pd.wait_exit(10000), 0) << pd.console();
    EXPECT_EQ(errors(pd), 0) << pd.console();
    EXPECT_EQ(pd.count("connecting"), 1) << pd.console();
    EXPECT_EQ(pd.count("connected " + link + " ok!"), 1) << pd.console();
    EXPECT_EQ(pd.count(link + " every 1 ms"), 1) << pd.console();
}

TEST(Patches, DemoPatchLoadsCleanAndValuesFlowBothWays)
{
    TempDir dir;
    std::string link = dir.path() + "/b0";
    Board board({"--link", link, "--counter", "knob", "--sine", "wave", "--rate", "20"});
    ASSERT_TRUE(board.wait_err(link, wait_ms));
    // The demo's board opens a fixed path: a copy opens this test's own.
    std::ifstream in(SOURCE_DIR "/demo/demo.pd");
    std::string demo((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string board_object = "Veltrix open /tmp/veltrix-board0;";
    auto at = demo.find(board_object);
    ASSERT_NE(at, std::string::npos) << demo;
    demo.replace(at, board_object.size(), "Veltrix open " + link + ";");
    std::string patch = dir.write("demo.pd", demo);
    std::string quit = dir.write("quit.pd", pd_patch(with_quit({}, 1500)));
    PdProcess pd(patch, {"-open", quit});
    EXPECT_EQ(pd.wait_exit(10000), 0) << pd.console();
    EXPECT_EQ(errors(pd), 0) << pd.console();
    EXPECT_GT(pd.count("knob: "), 0) << pd.console();
    EXPECT_GT(pd.count("wave: "), 0) << pd.console();
    EXPECT_TRUE(board.wait_out("led ", wait_ms)) << board.log();
    EXPECT_TRUE(board.wait_out("level ", wait_ms)) << board.log();
}

// Installs the build into `dir` and returns the Veltrix folder.
std::string install_into(const TempDir &dir)
{
    std::string install = std::string(CMAKE_COMMAND) + " --install " BUILD_DIR " --prefix " +
                          dir.path() + " > " + dir.path() + "/install.log 2>&1";
    EXPECT_EQ(std::system(install.c_str()), 0) << install;
    return dir.path() + "/Veltrix";
}

// The console of a pd -nogui that has `folder` as its only path.
std::string console_of_pd_on(const std::string &folder, const std::string &patch)
{
    std::string log = patch + ".log";
    std::string run = "timeout 10 " + test_pd() +
                      " -nogui -stderr -nosound -nomidi -noprefs -nostdpath -path " + folder +
                      " -open " + patch + " > " + log + " 2>&1";
    EXPECT_EQ(std::system(run.c_str()), 0);
    std::ifstream in(log);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A UDP port on 127.0.0.1 that nothing holds now.
std::string free_udp_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &size) == 0;
    close(fd);
    return ok ? std::to_string(ntohs(addr.sin_port)) : "";
}

// Two Pds with a board each: what the first one's board sends reaches the
// second one's board under its tag, as the same float.
TEST(Patches, NetworkPairForwardsValuesToTheOtherPdsBoards)
{
    TempDir dir;
    std::string a = dir.path() + "/a", b = dir.path() + "/b";
    Board board_a({"--link", a});
    Board board_b({"--link", b, "--hex"});
    ASSERT_TRUE(board_a.wait_err(a, wait_ms) && board_b.wait_err(b, wait_ms));
    std::string port = free_udp_port();
    ASSERT_FALSE(port.empty());
    PdProcess listen(SOURCE_DIR "/help/network/Veltrix-net-listen.pd",
                     {"-send", "veltrix-net-board symbol " + b, "-send",
                      "veltrix-net-listen " + port + " 127.0.0.1"});
    ASSERT_TRUE(board_b.wait_err(opened, wait_ms)) << listen.console();
    PdProcess forward(
        SOURCE_DIR "/help/network/Veltrix-net-forward.pd",
        {"-send", "veltrix-net-board symbol " + a, "-send", "veltrix-net-to 127.0.0.1 " + port});
    ASSERT_TRUE(board_a.wait_err(opened, wait_ms)) << forward.console();
    board_a.send("other 3");
    board_a.send("knob 0.123456789");
    board_a.send("wave -2.5e+30");
    ASSERT_TRUE(board_b.wait_out("wave -2.5e+30 [aa 77 61 76 65 00 7c 6f fc f1]", wait_ms))
        << board_b.log() << forward.console() << listen.console();
    EXPECT_EQ(board_b.out(),
              (std::vector<std::string>{"knob 0.12345679 [aa 6b 6e 6f 62 00 ea d6 fc 3d]",
                                        "wave -2.5e+30 [aa 77 61 76 65 00 7c 6f fc f1]"}));
    EXPECT_EQ(errors(forward) + errors(listen), 0) << forward.console() << listen.console();
}

TEST(Install, InstalledFolderAloneCreatesEveryForm)
{
    TempDir dir;
    std::string folder = install_into(dir);
    for (const char *file :
         {MODULE_FILE, "help-Veltrix-help.pd", "LICENSE", TOOL_DIR "/veltrix-board"})
        EXPECT_EQ(access((folder + "/" + file).c_str(), F_OK), 0) << file;

    // The installed simulator and module, and nothing from the build folder.
    std::string link = dir.path() + "/b0";
    Board board({"--link", link}, folder + "/" TOOL_DIR "/veltrix-board");
    ASSERT_TRUE(board.wait_err(link, wait_ms)) << board.log();
    std::string patch = dir.write(
        "p.pd", pd_patch(with_quit({"obj 10 10 Veltrix open " + link, "obj 10 40 Veltrix send a",
                                    "obj 10 70 Veltrix receive b"},
                                   1500)));
    std::string console = console_of_pd_on(folder, patch);
    EXPECT_EQ(console.find("error"), std::string::npos) << console;
    EXPECT_EQ(console.find("couldn't create"), std::string::npos) << console;
    EXPECT_NE(console.find("Veltrix_new 'send'"), std::string::npos) << console;
    EXPECT_NE(console.find("Veltrix_new 'receive'"), std::string::npos) << console;
    EXPECT_NE(console.find("connected " + link + " ok!"), std::string::npos) << console;
}

// Without a prefix the folder is the installing user's, from HOME when
// installing (not from whoever configured), and one Pd searches with no
// path set; the binaries in it are stripped, the simulator in the folder the
// help names.
TEST(Install, WithoutAPrefixGoesWherePdLooksForTheInstallingUser)
{
    TempDir dir;
    std::string folder = dir.path() + "/.local/lib/pd/extra/Veltrix";
    std::string log = dir.path() + "/log";
    std::string install =
        "HOME=" + dir.path() + " " CMAKE_COMMAND " --install " BUILD_DIR " > " + log + " 2>&1";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;
    std::ifstream help_file(SOURCE_DIR "/help/help-Veltrix-help.pd");
    std::string help((std::istreambuf_iterator<char>(help_file)), std::istreambuf_iterator<char>());
    EXPECT_NE(help.find(TOOL_DIR "/veltrix-board"), std::string::npos) << TOOL_DIR;
    std::string unstripped = "for f in $(find " + folder +
                             " -type f); do readelf -S \"$f\" 2>/dev/null | " +
                             "grep -q '\\.symtab' && echo \"$f\"; done > " + log + "; true";
    ASSERT_EQ(std::system(unstripped.c_str()), 0);
    std::ifstream listed(log);
    std::string files((std::istreambuf_iterator<char>(listed)), std::istreambuf_iterator<char>());
    EXPECT_EQ(files, "") << "not stripped";

    std::string patch = dir.write("p.pd", pd_patch({"obj 10 10 Veltrix send a"}));
    std::string run = "HOME=" + dir.path() + " timeout 10 " + test_pd() +
                      " -nogui -stderr -nosound -nomidi -noprefs -open " + patch +
                      " -send 'pd quit' > " + log + " 2>&1";
    EXPECT_EQ(std::system(run.c_str()), 0);
    std::ifstream in(log);
    std::string console((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(console.find("Veltrix_new 'send'"), std::string::npos) << console;
}

// Right-click > Help in Pd's window sends "done-popup 2 x y" to the canvas;
// the same message at an object's place must open the help beside the
// installed module, not "sorry, couldn't find help patch".
TEST(Install, HelpOfAnObjectOpensTheInstalledHelpPatch)
{
    TempDir dir;
    std::string folder = install_into(dir);
    // The help's canvas exists once it is open: closing it frees its
    // receivers, and a canvas that is not there is "no such object".
    std::string patch = dir.write(
        "probe.pd", pd_patch(with_quit({"obj 50 50 Veltrix send probe",
                                        "msg 200 70 \\; pd-probe.pd done-popup 2 55 55 \\; "
                                        "pd-help-Veltrix-help.pd menuclose",
                                        "obj 200 10 loadbang", "connect 2 0 1 0"},
                                       500)));
    std::string console = console_of_pd_on(folder, patch);
    EXPECT_EQ(console.find("sorry"), std::string::npos) << console;
    EXPECT_EQ(console.find("no such object"), std::string::npos) << console;
    EXPECT_NE(console.find("Veltrix_free Veltrix.receivers"), std::string::npos) << console;
}

} // namespace
