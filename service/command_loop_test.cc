// The command loop and the namespace operations, through whole sessions.
#include "service/command_loop.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "convert/variant.h"
#include "testing/server_session.h"

namespace lpx {

using CommandLoopTest = ServerSessionTest;

// The stories of every table of the service's tests.
TEST_P(ServerSessionTest, Told) { Tell(GetParam()); }

const std::string kTenThousand(10000, 'x');  // resumes at 5120
const std::string kNoWrite = "\nProbably no write permission in parent directory";

// clang-format off
INSTANTIATE_TEST_SUITE_P(CommandLoop, ServerSessionTest, ::testing::Values(
    // A line that begins with a command's text is that command.
    Story{.session = {"CONNECT", "CONNECTED"}, .replies = {"OK A", "OK A"},
          .logged = "CONNECTION ESTABLISHED\t\t\t\tOK\nCONNECTEDION ESTABLISHED\t\t\t\tOK"},
    // Lines that are no command get the recovery, and the loop goes on.
    Story{.session = {"LIST", "list @", "", "CONNECT"}, .replies = {"OK A"},
          .logged = "LIST\nStill trying... [LIST]\nlist @\nStill trying... [list @]\n"
                    "Still trying...\nCONNECTION ESTABLISHED"},
    // Control bytes from the client (C0, DEL and C1) reach the console as escapes;
    // the names on disk stay as they are.
    Story{.given = {"e\x1b"}, .session = {"DEL @e\x1b", "\x1b]0;x\a\x7f\x9b"}, .replies = {"OK"},
          .after = {"e\x1b"}, .logged = "DEL @e^[\n^[]0;x^G^?M-^[\nStill trying... [^[]0;x^G^?M-^[]"},
    // TIME and ATTR, and other lines with their keys, are not echoed; a
    // completed transfer closes its line with OK in the 49th column.
    Story{.session = {"PUT @f", "TIME 852452445", "ATTR 32", "TiMe", "AxT", "SIZE 3", "#abc", "GET @f"},
          .replies = {"TIME 852452445", "ATTR 32", "SIZE 3", "#abc"},
          .logged = "PUT @f\nStill trying... [TiMe]\nStill trying... [AxT]\nSIZE 3" +
                    std::string(42, ' ') + "OK\nGET @f"},
    // REST ?: a pending upload resumes at least 4096 bytes before the end of
    // what is stored, on a 1024 boundary; binary counts a line feed once.
    Story{.given = {"a=" + std::string(5119, 'x'), "b=" + std::string(5120, 'x'),
                    "c=" + std::string(10000, '\n')},
          .session = {"REST ?", "PUT @a", "REST ?", "PUT @b", "REST ?", "PUT @c", "REST ?"},
          .replies = {"REST ERROR 2", "REST=0", "REST=1024", "REST=5120"}},
    // A new PUT starts at 0, whatever an earlier question found.
    Story{.given = {"big=" + kTenThousand},
          .session = {"PUT @big", "REST ?", "PUT @new", "SIZE 3", "#abc"},
          .replies = {"REST=5120"}, .after = {"new=abc"}, .codes = {0}},
    // A download clears the offsets, not the pending name; SIZE clears the
    // name, whatever the outcome.
    Story{.given = {"big=" + kTenThousand},
          .session = {"PUT @big", "REST ?", "AGET @gone", "SIZE 3", "#abc", "REST ?",
                      "PUT @f", "SIZE 2", "#abc", "REST ?"},
          .replies = {"REST=5120", "FILE ERROR 2", "REST ERROR 2", "REST ERROR 2"},
          .after = {"big=abc", "f"}, .codes = {0, 13}},
    // CONNECT starts afresh: no restart offset, rename source or pending
    // upload of an earlier client acts on the next one's commands.
    Story{.given = {"f=0123456789", "a=A"},
          .session = {"REST 4", "RNFR @a", "APUT @f", "CONNECT", "GET @f", "RNTO @b", "SIZE 3", "#abc"},
          .replies = {"OK A", "TIME 852452445", "ATTR 32", "SIZE 10", "#0123456789"},
          .after = {"f=0123456789", "a=A", "b"}, .codes = {13}},
    // LIST clears the text flag of a pending upload.
    Story{.session = {"APUT @f", "LIST @missing", "LIST @", "SIZE 3", "#a\r\n"},
          .replies = {"DIR ERROR 2", "SIZE 11", "#.\t0\t-1\t16\r\n"}, .after = {"f=a\r\n"}, .codes = {0}},
    // The namespace operations.
    Story{.given = {"d/", "f=F"}, .session = {"MD @d", "MD @f"},
          .replies = {"DIR ERROR 1", "DIR ERROR 1"}, .after = {"f=F"},
          .logged = "MD @d\n(a) No write permission in parent directory, or\n"
                    "(b) File exists but is not a directory\nMD @f\n(a)"},
    // DEL takes files and empty directories, RD empty directories only.
    Story{.given = {"f", "g=G", "e/", "e2/", "full/", "full/x=X"},
          .session = {"DEL @f", "DEL @e", "DEL @full", "RD @full", "RD @g", "RD @e2"},
          .replies = {"OK", "OK", "FILE ERROR 2", "DIR ERROR 20", "DIR ERROR 20", "OK"},
          .after = {"f", "g=G", "e", "e2", "full/x=X"},
          .logged = "DEL @e\nDEL @full" + kNoWrite + "\nRD @full" + kNoWrite},
    // RNTO replaces its target; the source stays the source for a second
    // target, which then fails (it is gone). Without RNFR, RNTO is not
    // answered. No directory takes the place of a file.
    Story{.given = {"a=A", "b=B", "d/", "f=F"},
          .session = {"RNTO @a", "RNFR @a", "RNTO @b", "RNTO @c", "RNFR @d", "RNTO @f"},
          .replies = {"OK", "RENAME ERROR 2", "RENAME ERROR 2"}, .after = {"a", "b=A", "c", "f=F"},
          .logged = "RNTO @a\nRNFR @a\nRNTO @b\nRNTO @c" + kNoWrite + "\nRNFR @d\nRNTO @f" + kNoWrite}));
// clang-format on

TEST_F(CommandLoopTest, RestOffsetsThatAreNoWholeNumberStartAtZero) {
  Given({"f=0123456789"});
  for (const char* bad : {"REST abc", "REST ", "REST 12 ", "REST -5", "REST 4294967296"})
    EXPECT_EQ(Run({"REST 7", bad, "GET @f"}).back(), "#0123456789") << bad;
}

// Only regular files are opened (a FIFO would block the server, a device
// may act on the open), and only sizes that the 32-bit offsets and SIZE can
// carry.
TEST_F(CommandLoopTest, OnlyRegularFilesOfASizeTheWireCarries) {
  Given({"dir/", "big"});
  ASSERT_EQ(mkfifo(dir_.Local("fifo").c_str(), 0600), 0);
  ASSERT_EQ(truncate(dir_.Local("big").c_str(), 5LL << 30), 0);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, dir_.Local("").c_str(), IN_OPEN), 0);
  EXPECT_EQ(Run({"PUT @fifo", "REST ?", "PUT @dir", "REST ?", "PUT @big", "REST ?", "GET @fifo",
                 "GET @big", "AGET @big", "PUT @fifo", "SIZE 3", "#abc"}),
            (Replies{"REST ERROR 2", "REST ERROR 2", "REST ERROR 2", "FILE ERROR 2", "FILE ERROR 2",
                     "FILE ERROR 2"}));
  EXPECT_EQ(Codes(), std::vector<int>{13});
  std::string events(4096, '\0');  // what was opened, by name
  EXPECT_GT(read(watch, events.data(), events.size()), 0);
  EXPECT_EQ(events.find("fifo") & events.find("dir"), std::string::npos);  // neither
  close(watch);
}

TEST_F(CommandLoopTest, LinesOfUpTo255CharactersAreTakenLongerOnesRecovered) {
  const std::string line = (Expand("RNTO @") + std::string(255, 'x')).substr(0, 255);
  EXPECT_EQ(Run({line + "x", line, "CONNECT"}), Replies{"OK A"});
  // The connection-error signal: 14 with the busy line low, then raised, twice.
  const std::vector<uint8_t> writes = port_.WritesTo(0x378), signal = {0x0E, 0x1E, 0x0E, 0x1E};
  EXPECT_NE(std::search(writes.begin(), writes.end(), signal.begin(), signal.end()), writes.end());
  EXPECT_EQ(Console(), "Still trying...\n" + line + "\nCONNECTION ESTABLISHED\t\t\t\tOK");
}

// The reply did not reach the client: the exchange failed (the data lines go
// back to 0, the echo of CONNECT is not completed), but what was done stays.
TEST_F(CommandLoopTest, UndeliveredReplyFailsTheExchangeNotTheOperation) {
  Given({"f"});
  Client().AnswerReply("OK A", 14);
  Client().AnswerReply("OK", 14);
  EXPECT_EQ(Run({"CONNECT", "DEL @f"}), (Replies{"OK A", "OK"}));
  EXPECT_EQ(Console(), Expand("CONNECT\nDEL @f"));
  EXPECT_EQ(File("f") + std::to_string(port_.Register(0x378)), "f0");
}

// A client that sends its next command the moment it has answered the last
// byte of a reply: it shows its code and raises its line for the command
// while the server pauses in its wait for that code (the client was off
// its core during the server's burst), or goes from its acknowledgement
// straight to the command. Either way the reply counts as delivered and the
// next command is served at once, not after the server's 2 s time-out.
TEST_F(CommandLoopTest, TheNextCommandAnswersTheLastByteOfAReply) {
  for (const bool offItsCore : {true, false}) {
    const uint64_t start = port_.NowUs();
    Client().AnswerEagerly(true);
    Client().AnswerLastByteLate(offItsCore);
    EXPECT_EQ(Run({"CONNECT", "CONNECT"}), (Replies{"OK A", "OK A"}));
    EXPECT_THAT(Console(), ::testing::HasSubstr("OK\nCONNECTION ESTABLISHED\t\t\t\tOK"));
    // One server pause (100 ms) a reply when the client was late; then the
    // quick poll that sees the Ctrl/C which ends the session.
    EXPECT_EQ(port_.NowUs() - start, (offItsCore ? 2 * 100000 : 0) + kQuickPollUs);
  }
}

// After a command the idle wait polls every 0.5 ms for 2 s, then every
// 50 ms again, as it does before the first command: a CONNECT that comes
// 1 s after another is answered within a millisecond, one 3 s after it or
// with none before it within 50 ms.
TEST_F(CommandLoopTest, TheIdleWaitPollsQuicklyFor2sAfterACommand) {
  // A CONNECT at 0 or none; when the CONNECT to answer comes, and is answered.
  const std::tuple<bool, uint64_t, uint64_t> cases[] = {
      {true, 1000300, 1000500}, {true, 3000300, 3050000}, {false, 500300, 550000}};
  for (const auto& [commandBefore, atUs, answeredUs] : cases) {
    port_.SetNowUs(0);
    if (commandBefore) Client().Send("CONNECT");
    Client().Send("CONNECT").notBeforeUs = atUs;
    uint64_t answered = 0;
    Client().OnFrame([&](const FramePeer::Frame&) { answered = port_.NowUs(); });
    EXPECT_EQ(Run().size(), commandBefore ? 2u : 1u);
    EXPECT_EQ(answered, answeredUs) << atUs;
  }
}

TEST_F(CommandLoopTest, MakeDirectoryGivesTheOwnerWriteAndSearchEntersItAndKeepsTheMask) {
  const std::filesystem::path cwd = std::filesystem::current_path();
  const mode_t mask = umask(0277);
  EXPECT_EQ(Run({"MD @d", "MD @e"}), (Replies{"OK", "OK"}));
  EXPECT_EQ(umask(mask), 0277u);  // and so "e" is made under it as "d" was
  EXPECT_EQ(std::filesystem::status(dir_.Local("e")).permissions(),
            std::filesystem::perms::owner_all);
  EXPECT_EQ(std::filesystem::current_path(), dir_.Local("e"));
  std::filesystem::current_path(cwd);
}

// Variant C. A path whose local form does not fit is refused, never cut: in
// UTF-8 each 0x80 takes three bytes, 228 of them more than the 700 a path may
// have. A restart counts whole characters: local byte 1024 of "u" lies
// inside the euro sign at 1023..1025, so the upload resumes after it.
TEST_F(CommandLoopTest, VariantCPathsTooLongAndRestartsInsideACharacter) {
  variantC = true;
  const std::string tooLong = "@" + std::string(228, '\x80');
  Given({"a=A", "u=" + std::string(1023, 'a') + "\xE2\x82\xAC" + std::string(4100, 'b')});
  EXPECT_EQ(Run({"APUT @u", "REST ?", "SIZE 5124", "#" + std::string(4096, 'b'), "#bbbb"}),
            Replies{"REST=1024"});
  EXPECT_EQ(Codes(), (std::vector<int>{0, 0}));
  EXPECT_EQ(Run({"MD " + tooLong, "DEL " + tooLong, "RD " + tooLong, "RNFR @a", "RNTO " + tooLong,
                 "RNFR " + tooLong, "RNTO @b", "PUT " + tooLong, "REST ?", "SIZE 3", "#abc"}),
            (Replies{"DIR ERROR 1", "FILE ERROR 2", "DIR ERROR 20", "RENAME ERROR 2",
                     "RENAME ERROR 2", "REST ERROR 2"}));
  EXPECT_EQ(File("a") + File("b"), "a=Ab");  // a refused source is not replaced by the one before
  EXPECT_EQ(Codes(), std::vector<int>{13});  // no place for the upload either
  // One console line for each refused path.
  EXPECT_THAT(Console(), ::testing::ContainsRegex("(\nPath too long -- refused.*){5}"));
}

TEST(StrToIntTest, ReadsAsA32BitStrtoulAndRefusesTrailingText) {
  // clang-format off
  const std::pair<const char*, int32_t> cases[] = {{"", 0}, {" 12", 12}, {"12 ", -1}, {"x", -1},
      {"-5", -5}, {"2147483647", 2147483647}, {"4294967295", -1}, {"4294967296", -1}};
  // clang-format on
  for (const auto& [text, value] : cases) EXPECT_EQ(StrToInt(text), value) << text;
}

}  // namespace lpx
