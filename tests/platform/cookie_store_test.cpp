#include "platform/cookie_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixture_server.h"

namespace tarvel {
namespace {

using testing::TemporaryFolder;

CookieUrl Url(const std::string& text) {
  std::optional<CookieUrl> url = CookieUrl::Parse(text);
  EXPECT_TRUE(url) << text;
  return url.value_or(CookieUrl{});
}

struct MatchingCase {
  const char* name;
  const char* setFrom;
  const char* setCookie;
  bool stored;
  const char* askFor;
  CookieAccess access;
  const char* expectedHeader;
};

TEST(CookieStoreTest, StoresAndMatchesLikeABrowser) {
  const MatchingCase cases[] = {
      {"host-only stays on its host", "https://example.com/", "a=1", true,
       "https://www.example.com/", CookieAccess::IncludingHttpOnly, ""},
      {"domain cookie reaches subdomains", "https://www.example.com/", "a=1; Domain=.example.com",
       true, "https://mail.example.com/x", CookieAccess::IncludingHttpOnly, "a=1"},
      {"foreign domain refused", "https://www.example.com/", "a=1; Domain=example.net", false,
       "https://example.net/", CookieAccess::IncludingHttpOnly, ""},
      {"bare top-level domain refused", "https://www.example.com/", "a=1; Domain=com", false,
       "https://www.example.com/", CookieAccess::IncludingHttpOnly, ""},
      // A cookie for every site under a public suffix is refused (libpsl's list).
      {"public suffix refused", "https://www.example.co.uk/", "a=1; Domain=co.uk", false,
       "https://other.co.uk/", CookieAccess::IncludingHttpOnly, ""},
      {"public suffix with a leading dot refused", "https://shop.example.co.uk/",
       "a=1; Domain=.CO.UK", false, "https://shop.example.co.uk/", CookieAccess::IncludingHttpOnly,
       ""},
      {"private public suffix refused", "https://joe.github.io/", "a=1; Domain=github.io", false,
       "https://ann.github.io/", CookieAccess::IncludingHttpOnly, ""},
      {"domain below a public suffix accepted", "https://www.example.co.uk/",
       "a=1; Domain=example.co.uk", true, "https://mail.example.co.uk/",
       CookieAccess::IncludingHttpOnly, "a=1"},
      // A host that is a public suffix itself may keep a cookie of its own, host-only.
      {"public suffix host keeps its own cookie", "https://co.uk/", "a=1; Domain=co.uk", true,
       "https://co.uk/", CookieAccess::IncludingHttpOnly, "a=1"},
      {"public suffix host's cookie stays host-only", "https://co.uk/", "a=1; Domain=co.uk", true,
       "https://example.co.uk/", CookieAccess::IncludingHttpOnly, ""},
      {"secure not sent in plain text", "https://example.com/", "a=1; Secure", true,
       "http://example.com/", CookieAccess::IncludingHttpOnly, ""},
      {"secure from a plain answer refused", "http://example.com/", "a=1; Secure", false,
       "https://example.com/", CookieAccess::IncludingHttpOnly, ""},
      {"path must match on a segment", "https://example.com/", "a=1; Path=/mail", true,
       "https://example.com/mailbox", CookieAccess::IncludingHttpOnly, ""},
      {"path below the cookie's path", "https://example.com/", "a=1; Path=/mail", true,
       "https://example.com/mail/inbox", CookieAccess::IncludingHttpOnly, "a=1"},
      {"default path is the address's folder", "https://example.com/dir/page", "a=1", true,
       "https://example.com/", CookieAccess::IncludingHttpOnly, ""},
      {"max-age zero deletes", "https://example.com/", "a=1; Max-Age=0", true,
       "https://example.com/", CookieAccess::IncludingHttpOnly, ""},
      {"past expiry deletes", "https://example.com/", "a=1; expires=Mon, 01-Jan-1900 00:00:00 GMT",
       true, "https://example.com/", CookieAccess::IncludingHttpOnly, ""},
      // Max-Age wins over Expires (RFC 6265 section 5.3 step 3).
      {"max-age wins over expires", "https://example.com/",
       "a=1; expires=Mon, 01-Jan-1900 00:00:00 GMT; Max-Age=100", true, "https://example.com/",
       CookieAccess::IncludingHttpOnly, "a=1"},
      {"control character refused", "https://example.com/", "a=1\x01x", false,
       "https://example.com/", CookieAccess::IncludingHttpOnly, ""},
      {"http-only hidden from scripts", "https://example.com/", "a=1; HttpOnly", true,
       "https://example.com/", CookieAccess::ScriptVisible, ""},
      {"http-only sent with requests", "https://example.com/", "a=1; HttpOnly", true,
       "https://example.com/", CookieAccess::IncludingHttpOnly, "a=1"},
      {"blanks around name and value trimmed", "https://example.com/", "  a = 1 ;Path=/", true,
       "https://example.com/", CookieAccess::IncludingHttpOnly, "a=1"},
  };
  for (const MatchingCase& row : cases) {
    SCOPED_TRACE(row.name);
    TemporaryFolder folder;
    CookieStore store(folder.path() + "/cookies");
    EXPECT_EQ(store.Store(Url(row.setFrom), row.setCookie, CookieOrigin::Server,
                          CookieAccess::IncludingHttpOnly),
              row.stored);
    EXPECT_EQ(store.CookieHeader(Url(row.askFor), row.access), row.expectedHeader);
  }
}

TEST(CookieStoreTest, LongerPathsComeFirstAndSameKeyReplaces) {
  TemporaryFolder folder;
  CookieStore store(folder.path() + "/cookies");
  const CookieUrl site = Url("https://example.com/mail/inbox");
  store.Store(site, "a=1; Path=/", CookieOrigin::Server, CookieAccess::IncludingHttpOnly);
  store.Store(site, "b=2; Path=/mail", CookieOrigin::Server, CookieAccess::IncludingHttpOnly);
  store.Store(site, "a=3; Path=/", CookieOrigin::Server, CookieAccess::IncludingHttpOnly);
  EXPECT_EQ(store.CookieHeader(site, CookieAccess::IncludingHttpOnly), "b=2; a=3");
}

TEST(CookieStoreTest, ProgramTextsRespectHttpOnlyCookies) {
  TemporaryFolder folder;
  CookieStore store(folder.path() + "/cookies");
  const CookieUrl site = Url("https://www.example.com/");
  ASSERT_TRUE(store.Store(site, "sid=server; HttpOnly; Domain=example.com", CookieOrigin::Server,
                          CookieAccess::IncludingHttpOnly));

  // Without http-only access a program text neither creates nor replaces such a cookie.
  EXPECT_FALSE(
      store.Store(site, "x=1; HttpOnly", CookieOrigin::Program, CookieAccess::ScriptVisible));
  EXPECT_FALSE(store.Store(site, "sid=script; Domain=example.com", CookieOrigin::Program,
                           CookieAccess::ScriptVisible));
  EXPECT_EQ(store.CookieHeader(site, CookieAccess::IncludingHttpOnly), "sid=server");

  // With it, the replacement keeps the mark.
  EXPECT_TRUE(store.Store(site, "sid=restored; Domain=example.com", CookieOrigin::Program,
                          CookieAccess::IncludingHttpOnly));
  EXPECT_EQ(store.CookieHeader(site, CookieAccess::ScriptVisible), "");
  EXPECT_EQ(store.CookieHeader(site, CookieAccess::IncludingHttpOnly), "sid=restored");

  // An expired text naming no domain removes the cookie set for the parent domain.
  EXPECT_TRUE(store.Store(site, "sid=;expires=Mon, 01-Jan-1900 00:00:00 GMT", CookieOrigin::Program,
                          CookieAccess::IncludingHttpOnly));
  EXPECT_TRUE(store.AllCookies().empty());
}

TEST(CookieStoreTest, FileIsSharedBetweenInstancesAndKeepsMarks) {
  TemporaryFolder folder;
  const std::string path = folder.path() + "/deeper/cookies";
  CookieStore first(path);
  CookieStore second(path);
  const CookieUrl site = Url("https://example.com/");
  ASSERT_TRUE(first.Store(site, "session=1; HttpOnly", CookieOrigin::Server,
                          CookieAccess::IncludingHttpOnly));
  ASSERT_TRUE(first.Store(site, "kept=2; Max-Age=3600", CookieOrigin::Server,
                          CookieAccess::IncludingHttpOnly));

  EXPECT_EQ(second.CookieHeader(site, CookieAccess::IncludingHttpOnly), "session=1; kept=2");
  EXPECT_EQ(second.CookieHeader(site, CookieAccess::ScriptVisible), "kept=2");

  EXPECT_EQ(second.Remove(site, CookieAccess::ScriptVisible), 1u);
  EXPECT_EQ(first.CookieHeader(site, CookieAccess::IncludingHttpOnly), "session=1");

  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(CookieStoreTest, DamagedFileKeepsOnlyWellFormedCookies) {
  TemporaryFolder folder;
  const std::string path = folder.path() + "/cookies";
  {
    std::ofstream file(path, std::ios::binary);
    file << "# Tarvel cookie store 1\n"
         << "example.com\t1\t/\t0\t0\t0\t100\tgood\tyes\n"
         << "example.com\t1\t/\t0\t0\t0\t100\tmissing fields\n"
         << "example.com\t2\t/\t0\t0\t0\t100\tbadflag\tx\n"
         << "example.com\t1\tnoslash\t0\t0\t0\t100\tbadpath\tx\n"
         << "example.com\t1\t/\t0\t0\t-5\t100\tnegative\tx\n"
         << "example.com\t1\t/\t0\t0\t5\t100\texpired\tx\n"
         << "example.com\t1\t/\t0\t0\t0\t1e3\tbadnumber\tx\n"
         << "example.com\t1\t/\t0\t0\t0\t100\tlong\t" << std::string(20000, 'v') << "\n"
         << "co.uk\t0\t/\t0\t0\t0\t100\tsuffix\tx\n"
         << "example.com\t1\t/\t0\t0\t0\t100\tcut\tno line end";
  }
  CookieStore store(path);
  const std::vector<StoredCookie> cookies = store.AllCookies();
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_EQ(cookies[0].name, "good");

  // A file of some other kind is not read at all.
  std::ofstream(path, std::ios::binary) << "example.com\t1\t/\t0\t0\t0\t100\tgood\tyes\n";
  EXPECT_TRUE(CookieStore(path).AllCookies().empty());
}

TEST(CookieStoreTest, WritesReplaceTheFileAndClearWhatKilledWritersLeft) {
  TemporaryFolder folder;
  const std::string path = folder.path() + "/cookies";
  // What a writer killed between creating its temporary file and the rename leaves behind,
  // and a file of the user that only looks similar.
  std::ofstream(path + ".tmp-a1B2c3", std::ios::binary) << "half";
  std::ofstream(path + ".tmp-notes.txt", std::ios::binary) << "mine";
  CookieStore store(path);
  ASSERT_TRUE(store.Store(Url("https://example.com/"), "a=1", CookieOrigin::Server,
                          CookieAccess::IncludingHttpOnly));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"cookies", "cookies.lock", "cookies.tmp-notes.txt"}));
  EXPECT_EQ(
      CookieStore(path).CookieHeader(Url("https://example.com/"), CookieAccess::IncludingHttpOnly),
      "a=1");
}

TEST(CookieStoreTest, OversizedFileAndDomainsAreBounded) {
  TemporaryFolder folder;
  const std::string path = folder.path() + "/cookies";
  {
    std::ofstream file(path, std::ios::binary);
    file << "# Tarvel cookie store 1\n";
    for (int i = 0; i < 200000; ++i) {
      file << "d" << i << ".example.com\t1\t/\t0\t0\t0\t100\tn\t" << i << "\n";
    }
  }
  EXPECT_LE(CookieStore(path).AllCookies().size(), CookieStore::kMaximumCookies);

  CookieStore store(folder.path() + "/other");
  const CookieUrl site = Url("https://example.com/");
  for (int i = 0; i < 60; ++i) {
    store.Store(site, "c" + std::to_string(i) + "=1", CookieOrigin::Server,
                CookieAccess::IncludingHttpOnly);
  }
  const std::vector<StoredCookie> cookies = store.AllCookies();
  ASSERT_EQ(cookies.size(), CookieStore::kMaximumCookiesPerDomain);
  for (const StoredCookie& cookie : cookies) {
    EXPECT_NE(cookie.name, "c0");  // the oldest ones made room
  }
}

TEST(CookieStoreTest, ThreadsShareOneStore) {
  TemporaryFolder folder;
  const std::string path = folder.path() + "/cookies";
  CookieStore store(path);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 20; ++i) {
        const CookieUrl site =
            Url("https://t" + std::to_string(t) + "-" + std::to_string(i) + ".example.com/");
        store.Store(site, "n=1", CookieOrigin::Server, CookieAccess::IncludingHttpOnly);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(store.AllCookies().size(), 80u);
  EXPECT_EQ(CookieStore(path).AllCookies().size(), 80u);
}

}  // namespace
}  // namespace tarvel
