#include "maintenance/update_checker.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/base64.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fixture_server.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using testing::FakeClock;
using testing::FixtureServer;
using testing::TemporaryFolder;

constexpr char kHost[] = "update.example.com";
constexpr int64_t kNow = 1'800'000'000;
constexpr int64_t kDay = 24 * 60 * 60;

class MemoryState : public UpdateCheckState {
 public:
  std::optional<uint64_t> ReadLastCheck() override { return lastCheck; }
  void WriteLastCheck(uint64_t seconds) override { lastCheck = seconds; }
  Text ReadDeclinedVersion() override { return declined; }
  void WriteDeclinedVersion(const Text& version) override { declined = version; }

  std::optional<uint64_t> lastCheck;
  Text declined;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
  chmod(path.c_str(), mode);
}

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xF]);
  }
  return hex;
}

std::string ToBase64(const std::string& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0})
      out.push_back(kAlphabet[(v >> shift) & 63]);
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size())
      v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

// One member of a test archive.
struct Member {
  Member(std::string memberName, std::string memberContent, mode_t memberMode = 0644,
         std::string linkTarget = {})
      : name(std::move(memberName)),
        content(std::move(memberContent)),
        mode(memberMode),
        symlink(std::move(linkTarget)) {}
  std::string name;
  std::string content;
  mode_t mode;
  std::string symlink;  // a symbolic link to this target instead of a file
};

// A gzip-compressed tar archive of the members.
std::string TarGz(const std::vector<Member>& members) {
  std::vector<char> buffer(1 << 20);
  size_t used = 0;
  archive* writer = archive_write_new();
  archive_write_add_filter_gzip(writer);
  archive_write_set_format_pax_restricted(writer);
  archive_write_open_memory(writer, buffer.data(), buffer.size(), &used);
  for (const Member& member : members) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, member.name.c_str());
    if (!member.symlink.empty()) {
      archive_entry_set_filetype(entry, AE_IFLNK);
      archive_entry_set_symlink(entry, member.symlink.c_str());
      archive_entry_set_perm(entry, 0777);
      archive_write_header(writer, entry);
    } else {
      archive_entry_set_filetype(entry, AE_IFREG);
      archive_entry_set_perm(entry, member.mode);
      archive_entry_set_size(entry, static_cast<la_int64_t>(member.content.size()));
      archive_write_header(writer, entry);
      archive_write_data(writer, member.content.data(), member.content.size());
    }
    archive_entry_free(entry);
  }
  archive_write_close(writer);
  archive_write_free(writer);
  return std::string(buffer.data(), used);
}

// The newer version's tree: a program that reports its version, and a library.
std::vector<Member> NewerTree() {
  return {{"./.tarvel-portable", ""},
          {"./bin/tarvel", "#!/bin/sh\necho 'tarvel 9.1'\n", 0755},
          {"./lib/tarvel/libzarquet.so", "new library"}};
}

std::string Answer(const std::string& version, const std::string& files,
                   const std::string& restart = "<restart><en>Restart now?</en></restart>") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update><application>Tarvel E-Mail "
         "Notifier</application><info><en>Version " +
         version + " is out.</en><de>Version " + version +
         " ist da.</de></info><help>https://update.example.com/news</help><version>" + version +
         "</version><files>" + files + "</files>" + restart + "</update>";
}

std::string ArchiveElement(const std::string& path, const std::string& bytes,
                           const std::string& sha256 = {}) {
  return "<url zip=\"tarvel.tar.gz\" size=\"" + std::to_string(bytes.size()) + "\" sha256=\"" +
         (sha256.empty() ? Sha256(bytes) : sha256) + "\">https://" + kHost + path + "</url>";
}

// The test binary's server: one for all cases.
FixtureServer& Server() {
  static FixtureServer* server = [] {
    auto* started = new FixtureServer;
    if (!started->Start(json::array()))
      ADD_FAILURE() << "the fixture server did not start";
    started->ExportEnvironment();
    return started;
  }();
  return *server;
}

json Route(const std::string& path, const std::string& body, json extra = json::object()) {
  json route = {{"host", kHost}, {"path", path}, {"body_base64", ToBase64(body)}};
  if (extra.is_object())
    route.update(extra);
  return route;
}

// A portable copy in a temporary folder: "<folder>/copy" with the built tarvelctl as its
// program, a library and the portable settings file beside the program.
class UpdateCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server().SetRoutes(json::array());
    firstRequest_ = Server().Requests().size();
    clock_.setUnixSeconds(kNow);
    state_.lastCheck = kNow - 8 * kDay;
    root_ = folder_.path() + "/copy";
    program_ = root_ + "/bin/tarvel";
    WriteFile(root_ + "/.tarvel-portable", "");
    fs::create_directories(root_ + "/bin");
    fs::copy_file(std::string(TARVEL_BINARY_DIR_PATH) + "/bin/tarvelctl", program_);
    WriteFile(root_ + "/lib/tarvel/libzarquet.so", "old library");
    WriteFile(root_ + "/bin/tarvel.ini", "[Tarvel]\nFlags=4112\n", 0600);
    before_ = Snapshot();
  }
  void TearDown() override { checker_.reset(); }

  // Every file of the copy's parent folder with its content.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder_.path())) {
      if (entry.is_regular_file() || entry.is_symlink())
        files[fs::relative(entry.path(), folder_.path()).string()] =
            entry.is_symlink() ? "->" : ReadFile(entry.path().string());
      else if (entry.is_directory())
        files[fs::relative(entry.path(), folder_.path()).string() + "/"] = "";
    }
    return files;
  }

  UpdateChecker::Settings Settings() const {
    UpdateChecker::Settings settings;
    settings.updateUrl =
        Text::FromUtf8(std::string("https://") + kHost + "/common/update.php?p=tarvel");
    settings.program = program_;
    settings.dpkgInfoFolder = folder_.path() + "/dpkg-info";
    settings.running = {0, 1};
    settings.runningText = u"0.1";
    settings.language = language_;
    settings.identifier = u"0123-4567-89AB-CDEF";
    return settings;
  }

  UpdateChecker::Hooks Hooks() {
    UpdateChecker::Hooks hooks;
    hooks.ask = [this](UpdateQuestion question, const Text& caption, const Text& text,
                       const Text& help, std::function<void(bool)> answer) {
      std::lock_guard lock(mutex_);
      asked_.push_back(question);
      askedTexts_.push_back(text.ToUtf8());
      askedCaption_ = caption.ToUtf8();
      askedHelp_ = help.ToUtf8();
      if (answerQuestions_)
        answer(question == UpdateQuestion::Install ? installAnswer_ : restartAnswer_);
      else
        pendingAnswer_ = std::move(answer);
    };
    hooks.tell = [this](const Text& caption, const Text& text, const Text& help) {
      std::lock_guard lock(mutex_);
      told_.push_back(caption.ToUtf8() + "|" + text.ToUtf8() + "|" + help.ToUtf8());
    };
    hooks.restart = [this](const std::string& program) {
      std::lock_guard lock(mutex_);
      restarted_ = program;
    };
    return hooks;
  }

  UpdateOutcome RunCheck() {
    checker_ = std::make_unique<UpdateChecker>(state_, clock_);
    EXPECT_TRUE(checker_->Start(Settings(), Hooks()));
    EXPECT_TRUE(checker_->Wait(60'000));
    return checker_->outcome();
  }

  std::vector<json> UpdateRequests() const {
    // This test's requests only: the server serves the whole binary.
    std::vector<json> requests;
    const std::vector<json> all = Server().Requests();
    for (std::size_t i = firstRequest_; i < all.size(); ++i) {
      if (all[i]["host"] == kHost)
        requests.push_back(all[i]);
    }
    return requests;
  }

  std::size_t firstRequest_ = 0;
  TemporaryFolder folder_;
  std::string root_;
  std::string program_;
  std::map<std::string, std::string> before_;
  FakeClock clock_;
  MemoryState state_;
  Text language_ = u"en";
  std::unique_ptr<UpdateChecker> checker_;
  std::mutex mutex_;
  bool answerQuestions_ = true;
  bool installAnswer_ = true;
  bool restartAnswer_ = true;
  std::function<void(bool)> pendingAnswer_;
  std::vector<UpdateQuestion> asked_;
  std::vector<std::string> askedTexts_;
  std::string askedCaption_;
  std::string askedHelp_;
  std::vector<std::string> told_;
  std::string restarted_;
};

TEST(UpdateAnswerTest, VersionsCompareByMajorThenMinor) {
  struct Case {
    const char16_t* offered;
    bool valid;
    bool newer;  // than 2.20
  } const cases[] = {
      {u"2.21", true, true},
      {u"3.0", true, true},
      {u"2.20", true, false},
      {u"2.3", true, false},
      {u"1.99", true, false},
      {u"2.20.7", true, false},
      {u"2", false, false},
      {u"2.", false, false},
      {u"x.1", false, false},
      {u"2.5beta", false, false},
      {u"99999999999.1", false, false},
      {u"", false, false},
  };
  for (const Case& c : cases) {
    const std::optional<UpdateVersion> version = ParseUpdateVersion(c.offered);
    EXPECT_EQ(version.has_value(), c.valid) << Text(c.offered).ToUtf8();
    if (version) {
      EXPECT_EQ(IsNewerVersion(*version, {2, 20}), c.newer) << Text(c.offered).ToUtf8();
    }
  }
}

TEST(UpdateAnswerTest, RequestAddressAndLocalisedTexts) {
  EXPECT_EQ(UpdateRequestUrl(u"https://h/common/update.php?p=tarvel", u"0.1", u"A-B"),
            u"https://h/common/update.php?p=tarvel&v=0.1&id=A-B");
  EXPECT_EQ(UpdateRequestUrl(u"https://h/update", u"0.1", u"A-B"),
            u"https://h/update?v=0.1&id=A-B");

  const Text answer = Text::FromUtf8(Answer("2.21", ""));
  UpdateOffer offer;
  ASSERT_TRUE(ParseUpdateAnswer(answer, u"de", &offer));
  EXPECT_EQ(offer.info, u"Version 2.21 ist da.");
  EXPECT_EQ(offer.caption, u"Tarvel E-Mail Notifier");
  EXPECT_EQ(offer.help, u"https://update.example.com/news");
  EXPECT_TRUE(offer.hasRestart);
  EXPECT_EQ(offer.restart, u"Restart now?");  // only in English
  ASSERT_TRUE(ParseUpdateAnswer(answer, u"fr", &offer));
  EXPECT_EQ(offer.info, u"Version 2.21 is out.");

  // Without an English text nothing is offered; without a valid version neither.
  EXPECT_FALSE(ParseUpdateAnswer(u"<update><info><de>x</de></info><version>3.0</version></update>",
                                 u"fr", &offer));
  EXPECT_FALSE(ParseUpdateAnswer(
      u"<update><info><en>x</en></info><version>three</version></update>", u"en", &offer));
  EXPECT_FALSE(ParseUpdateAnswer(u"not xml", u"en", &offer));
}

TEST_F(UpdateCheckerTest, SevenDayRuleOnTheVirtualClock) {
  struct Case {
    const char* what;
    bool configured;
    std::optional<uint64_t> lastCheck;
    bool runs;
    std::optional<uint64_t> written;
  } const cases[] = {
      {"no update host: off", false, kNow - 30 * kDay, false, kNow - 30 * kDay},
      {"first run writes 0", true, std::nullopt, false, 0},
      {"checked a day ago", true, kNow - kDay, false, kNow - kDay},
      {"exactly seven days ago", true, kNow - 7 * kDay, false, kNow - 7 * kDay},
      {"seven days and a second", true, kNow - 7 * kDay - 1, true, kNow},
      {"never checked after the first run", true, 0, true, kNow},
  };
  Server().SetRoutes(json::array({Route("/common/update.php", Answer("0.1", ""))}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    state_.lastCheck = c.lastCheck;
    UpdateChecker checker(state_, clock_);
    UpdateChecker::Settings settings = Settings();
    if (!c.configured)
      settings.updateUrl = Text();
    EXPECT_EQ(checker.Start(settings, Hooks()), c.runs);
    EXPECT_TRUE(checker.Wait(60'000));
    EXPECT_EQ(state_.lastCheck, c.written);
    EXPECT_EQ(checker.outcome(), c.runs ? UpdateOutcome::NotNewer : UpdateOutcome::NotRun);
  }
  // A week on the clock later the check runs again; a failed one waits a week as well.
  Server().SetRoutes(json::array());
  clock_.setUnixSeconds(kNow + 7 * kDay + 1);
  UpdateChecker checker(state_, clock_);
  EXPECT_TRUE(checker.Start(Settings(), Hooks()));
  EXPECT_TRUE(checker.Wait(60'000));
  EXPECT_EQ(checker.outcome(), UpdateOutcome::NoAnswer);
  EXPECT_EQ(state_.lastCheck, static_cast<uint64_t>(kNow + 7 * kDay + 1));
  EXPECT_FALSE(checker.Start(Settings(), Hooks()));
}

TEST_F(UpdateCheckerTest, NoNewerVersionAsksNothing) {
  Server().SetRoutes(json::array({Route("/common/update.php", Answer("0.1", ""))}));
  EXPECT_EQ(RunCheck(), UpdateOutcome::NotNewer);
  EXPECT_TRUE(asked_.empty());
  EXPECT_TRUE(told_.empty());
  const std::vector<json> requests = UpdateRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["scheme"], "https");
  EXPECT_EQ(requests[0]["path"], "/common/update.php?p=tarvel&v=0.1&id=0123-4567-89AB-CDEF");
  EXPECT_EQ(FixtureServer::Header(requests[0], "User-Agent"), "AutoUpdate");
  EXPECT_EQ(Snapshot(), before_);
}

TEST_F(UpdateCheckerTest, PortableCopyIsSwappedAndRestartsAsTheNewVersion) {
  const std::string archive = TarGz(NewerTree());
  Server().SetRoutes(json::array(
      {Route("/common/update.php", Answer("9.1", ArchiveElement("/files/tarvel.tar.gz", archive))),
       Route("/files/tarvel.tar.gz", archive)}));
  language_ = u"de";
  ASSERT_EQ(RunCheck(), UpdateOutcome::Restarting) << checker_->failure();
  // The service's texts in the user's language, then the restart question.
  ASSERT_EQ(asked_, (std::vector{UpdateQuestion::Install, UpdateQuestion::Restart}));
  EXPECT_EQ(askedTexts_[0], "Version 9.1 ist da.");
  EXPECT_EQ(askedTexts_[1], "Restart now?");
  EXPECT_EQ(askedCaption_, "Tarvel E-Mail Notifier");
  EXPECT_EQ(restarted_, program_);

  // The restarted program is the new version; the new library is in place, and the user's
  // settings beside the program came along.
  FILE* pipe = popen(("'" + restarted_ + "' --version").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[128] = {};
  ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
  pclose(pipe);
  EXPECT_EQ(std::string(line), "tarvel 9.1\n");
  EXPECT_EQ(ReadFile(root_ + "/lib/tarvel/libzarquet.so"), "new library");
  EXPECT_EQ(ReadFile(root_ + "/bin/tarvel.ini"), before_.at("copy/bin/tarvel.ini"));
  // Nothing else is left beside the tree: no staging folder, no old tree.
  std::set<std::string> beside;
  for (const auto& entry : fs::directory_iterator(folder_.path()))
    beside.insert(entry.path().filename().string());
  EXPECT_EQ(beside, (std::set<std::string>{"copy"}));
}

TEST_F(UpdateCheckerTest, FaultsLeaveTheOldProgramAsItWas) {
  const std::string good = TarGz(NewerTree());
  std::vector<Member> dotDot = NewerTree();
  dotDot.push_back({"bin/../../escaped", "outside"});
  std::vector<Member> link = NewerTree();
  link.push_back({"lib/tarvel/libssl.so", "", 0777, "/etc/passwd"});
  std::vector<Member> absolute = NewerTree();
  absolute.push_back({"/tmp/absolute-member", "outside"});
  std::vector<Member> fileOverFolder = NewerTree();
  fileOverFolder.push_back({"lib/tarvel", "a file where the folder is"});
  struct Case {
    const char* what;
    std::string files;  // the answer's file list
    std::string archive;
    json extra;  // route fields of the download
    UpdateOutcome outcome;
    const char* reason;  // in the failure the check reports
  } const cases[] = {
      {"wrong hash",
       ArchiveElement("/f.tar.gz", good, std::string(64, 'a')),
       good,
       {},
       UpdateOutcome::Failed,
       "size or SHA-256 differs"},
      {"truncated download",
       ArchiveElement("/f.tar.gz", good),
       good,
       {{"truncate", 40}},
       UpdateOutcome::Failed,
       "download failed"},
      {"a ../ member",
       ArchiveElement("/f.tar.gz", TarGz(dotDot)),
       TarGz(dotDot),
       {},
       UpdateOutcome::Failed,
       "refused member"},
      {"a symbolic link",
       ArchiveElement("/f.tar.gz", TarGz(link)),
       TarGz(link),
       {},
       UpdateOutcome::Failed,
       "refused link"},
      {"an absolute member",
       ArchiveElement("/f.tar.gz", TarGz(absolute)),
       TarGz(absolute),
       {},
       UpdateOutcome::Failed,
       "refused member"},
      {"a file over a folder",
       ArchiveElement("/f.tar.gz", TarGz(fileOverFolder)),
       TarGz(fileOverFolder),
       {},
       UpdateOutcome::Failed,
       "is a folder"},
      {"not gzip",
       ArchiveElement("/f.tar.gz", "plain text"),
       "plain text",
       {},
       UpdateOutcome::Failed,
       "cannot open the archive"},
      {"plain http",
       "<url zip=\"t.tar.gz\" size=\"" + std::to_string(good.size()) + "\" sha256=\"" +
           Sha256(good) + "\">http://" + kHost + "/f.tar.gz</url>",
       good,
       {},
       UpdateOutcome::Refused,
       "not an https address"},
      {"no hash",
       "<url zip=\"t.tar.gz\" size=\"5\">https://" + std::string(kHost) + "/f.tar.gz</url>",
       good,
       {},
       UpdateOutcome::Refused,
       "no size or SHA-256"},
      {"an installer to run",
       "<url size=\"5\" sha256=\"" + Sha256("12345") + "\">https://" + kHost +
           "/get?file=setup.sh</url>",
       "12345",
       {},
       UpdateOutcome::Refused,
       "an installer"},
      {"a file name with a slash",
       "<url name=\"../tarvel\" size=\"5\" sha256=\"" + Sha256("12345") + "\">https://" + kHost +
           "/f</url>",
       "12345",
       {},
       UpdateOutcome::Refused,
       "not a plain file name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    asked_.clear();
    told_.clear();
    restarted_.clear();
    state_.lastCheck = kNow - 8 * kDay;
    Server().SetRoutes(
        json::array({Route("/common/update.php", Answer("9.1", c.files)),
                     Route("/f.tar.gz", c.archive, c.extra), Route("/f", c.archive)}));
    EXPECT_EQ(RunCheck(), c.outcome) << checker_->failure();
    EXPECT_NE(checker_->failure().find(c.reason), std::string::npos) << checker_->failure();
    EXPECT_TRUE(restarted_.empty());
    // Refused offers are told, not asked; nothing of the copy or beside it changed.
    EXPECT_EQ(told_.size(), c.outcome == UpdateOutcome::Refused ? 1u : 0u);
    EXPECT_EQ(Snapshot(), before_);
    EXPECT_FALSE(fs::exists("/tmp/absolute-member"));
  }
}

TEST_F(UpdateCheckerTest, DeclinedVersionIsNotOfferedAgainButALaterOneIs) {
  Server().SetRoutes(json::array({Route(
      "/common/update.php", Answer("9.1", ArchiveElement("/f.tar.gz", TarGz(NewerTree()))))}));
  installAnswer_ = false;
  EXPECT_EQ(RunCheck(), UpdateOutcome::Declined);
  EXPECT_EQ(state_.declined, u"9.1");
  EXPECT_EQ(asked_.size(), 1u);
  EXPECT_EQ(askedHelp_, "https://update.example.com/news");

  state_.lastCheck = kNow - 8 * kDay;
  EXPECT_EQ(RunCheck(), UpdateOutcome::NotNewer);
  EXPECT_EQ(asked_.size(), 1u);

  Server().SetRoutes(json::array({Route(
      "/common/update.php", Answer("9.2", ArchiveElement("/f.tar.gz", TarGz(NewerTree()))))}));
  state_.lastCheck = kNow - 8 * kDay;
  EXPECT_EQ(RunCheck(), UpdateOutcome::Declined);
  EXPECT_EQ(asked_.size(), 2u);
  EXPECT_EQ(Snapshot(), before_);
  EXPECT_EQ(UpdateRequests().size(), 3u);  // no download was made
}

TEST_F(UpdateCheckerTest, PackageOwnedCopyIsOnlyTold) {
  const std::string archive = TarGz(NewerTree());
  Server().SetRoutes(
      json::array({Route("/common/update.php", Answer("9.1", ArchiveElement("/f.tar.gz", archive))),
                   Route("/f.tar.gz", archive)}));
  // dpkg's list of the package names the program.
  WriteFile(folder_.path() + "/dpkg-info/tarvel.list", "/.\n/usr\n" + program_ + "\n");
  const auto listed = Snapshot();
  EXPECT_EQ(RunCheck(), UpdateOutcome::Told);
  EXPECT_TRUE(asked_.empty());
  ASSERT_EQ(told_.size(), 1u);
  EXPECT_EQ(told_[0], "Tarvel E-Mail Notifier|Version 9.1 is out.|https://update.example.com/news");
  EXPECT_EQ(UpdateRequests().size(), 1u);  // the question only, no download
  EXPECT_EQ(Snapshot(), listed);

  // A copy in a shared prefix (no portable mark) is told in the same way.
  fs::remove(folder_.path() + "/dpkg-info/tarvel.list");
  fs::remove(root_ + "/.tarvel-portable");
  told_.clear();
  state_.lastCheck = kNow - 8 * kDay;
  EXPECT_EQ(RunCheck(), UpdateOutcome::Told);
  EXPECT_EQ(told_.size(), 1u);
  EXPECT_EQ(ReadFile(program_), before_.at("copy/bin/tarvel"));
}

TEST_F(UpdateCheckerTest, StopEndsSoonAgainstASlowServerAndAnOpenQuestion) {
  // The answer trickles in one byte a second; the stop ends the check long before.
  Server().SetRoutes(
      json::array({Route("/common/update.php", Answer("9.1", ""), {{"trickle_seconds", 1.0}})}));
  UpdateChecker checker(state_, clock_);
  ASSERT_TRUE(checker.Start(Settings(), Hooks()));
  for (int i = 0; i < 200 && UpdateRequests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_FALSE(UpdateRequests().empty());
  auto started = std::chrono::steady_clock::now();
  checker.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(checker.outcome(), UpdateOutcome::Stopped);

  // A question the user leaves open counts as No when the program ends; nothing declined.
  Server().SetRoutes(json::array({Route(
      "/common/update.php", Answer("9.1", ArchiveElement("/f.tar.gz", TarGz(NewerTree()))))}));
  answerQuestions_ = false;
  state_.lastCheck = kNow - 8 * kDay;
  ASSERT_TRUE(checker.Start(Settings(), Hooks()));
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard lock(mutex_);
      if (!asked_.empty())
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  started = std::chrono::steady_clock::now();
  checker.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(checker.outcome(), UpdateOutcome::Stopped);
  EXPECT_TRUE(state_.declined.view().empty());
  pendingAnswer_(true);  // a late answer lands nowhere
  EXPECT_EQ(Snapshot(), before_);
}

}  // namespace
}  // namespace tarvel
