#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Result {
  int exitCode = -1;
  std::string output;
};

std::string Tarvelctl() {
  return TARVELCTL_PATH;
}

std::string Fixture(const std::string& name) {
  const char* source = std::getenv("TARVEL_SOURCE_DIR");
  return std::string(source ? source : ".") + "/tests/fixtures/" + name;
}

// Runs "tarvelctl util ARGUMENTS" and collects its standard output and exit code.
Result RunUtil(const std::vector<std::string>& arguments) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0)
    return {};
  const std::string program = Tarvelctl();
  std::vector<std::string> words = {program, "util"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  Result result;
  char buffer[4096];
  ssize_t count = 0;
  while ((count = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
    result.output.append(buffer, static_cast<std::size_t>(count));
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(TarvelctlUtil, PrintsResultsAndExitCodes) {
  ASSERT_EQ(access(Tarvelctl().c_str(), X_OK), 0) << Tarvelctl() << " is not built";
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
    std::string output;
  } rows[] = {
      {{"parse-date", "Mon, 2 Jan 2006 15:04:05 +0100"}, 0, "1136210645\n"},
      {{"parse-date", "2 Jan 50 00:00:00"}, 0, "-631065600\n"},
      {{"parse-date", "soon"}, 1, "invalid\n"},
      {{"decode-mime", "=?UTF-8?B?w6Q=?=\r\n =?utf-8?q?_x?="}, 0, "\xC3\xA4 x\n"},
      {{"decode-escapes", "&#228;%41\\u00e4"},
       0,
       "\xC3\xA4"
       "A\xC3\xA4\n"},
      {{"decode-escapes", "--percent-only", "&#228;%41"}, 0, "&#228;A\n"},
      {{"imap-folder", "decode", "&U,BTFw-"}, 0, "\xE5\x8F\xB0\xE5\x8C\x97\n"},
      {{"imap-folder", "encode", "Entw\xC3\xBCrfe"}, 0, "Entw&APw-rfe\n"},
      {{"imap-folder", "decode", "&AGE-"}, 1, "&AGE-\n"},
      {{"encode", "--amp", "--strict", "a&b c-d"}, 0, "a%26b%20c%2Dd\n"},
      {{"encode", "--refs", "a b"}, 0, "a&#32;b\n"},
      {{"normalize", "\"<b>Tom</b> &amp; Jerry\"", "Re:\r\nhi"}, 0, "Tom & Jerry\nRe:  hi\n"},
      {{"json", Fixture("json/test_parsing/y_object_simple.json")}, 0, ""},
      {{"json", Fixture("json/test_parsing/n_array_extra_comma.json")}, 1, ""},
      {{"json", "--print", Fixture("json/test_parsing/y_object_simple.json")}, 0, "{}\n  a: []\n"},
      {{"xml-get", Fixture("xml/entity_bomb.xml"), "lolz\\title"}, 0, "bomb\n"},
      {{"xml-get", Fixture("xml/entity_bomb.xml"), "lolz\\missing"}, 1, ""},
      {{"no-such-command"}, 2, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments.front() + " " + row.arguments.back());
    const Result result = RunUtil(row.arguments);
    EXPECT_EQ(result.exitCode, row.exitCode);
    EXPECT_EQ(result.output, row.output);
  }
}

}  // namespace
