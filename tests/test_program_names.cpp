// Every rule by which a command line names its program, through a real launch
// by a serving instance and through -CHECK: the two must agree on which
// program runs, with which arguments, and whether it launches at all (and if
// not, why). The splitting and the lookup are also tested alone
// (test_command_line); this table is what keeps a change to them from
// passing there and breaking the job.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "helpers/json.h"
#include "helpers/site_test.h"

namespace ostrim {
namespace {

using namespace std::chrono_literals;
using tests::Background;
using tests::Result;
using tests::RunProgram;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

class ProgramNames : public tests::SiteTest {
 protected:
  void SetUp() override {
    // Copies of the recorder wherever a row's program is; and what no
    // program may be run from.
    for (const char* name : {"Mis Bases/arranca", "uno", "uno dos/tres", "tabprog",
                             "arranca_propio", "camino/arranca_propio", "camino/solo_camino",
                             "otro/solo_otro", "cwd/solo_cwd", "cwd/rel/solo_rel"}) {
      fs::create_directories(fs::path(site / name).parent_path());
      fs::copy_file(RECORDER_BINARY, site / name);
    }
    fs::create_directories(site / "dir");
    tests::WriteFile(site / "plain.txt", "not a program\n");
    tests::WriteFile(site / "crlf.sh", "#!/bin/sh\r\necho hola\r\n");
    tests::WriteFile(site / "no-interpreter.sh", "#!/no/such/shell\necho hola\n");
    ::chmod((site / "crlf.sh").c_str(), 0755);
    ::chmod((site / "no-interpreter.sh").c_str(), 0755);
  }

  // The service's environment: PATH with an empty and a relative entry
  // first, which must never make the working directory searched.
  tests::Environment PathEnv() const {
    auto env = Env();
    env.emplace_back("PATH", "::rel:" + site / "camino" + ":/usr/bin:/bin");
    return env;
  }
  std::string Cwd() const { return site / "cwd"; }

  static std::string Profile(const std::string& start, const std::string& arranque = {}) {
    return "[arranque]\n" + arranque + "\n[start]\n1=" + start +
           "\n[stop]\n1=recorder stop\n[bases4GL]\nfila=v\n";
  }

  // The "begin" records of the recorder from record `from` on.
  std::vector<std::vector<std::string>> BeginsFrom(std::size_t from) const {
    std::vector<std::vector<std::string>> begins;
    const auto records = site.Records();
    for (std::size_t i = from; i < records.size(); ++i) {
      if (records[i][0] == "begin") begins.push_back(records[i]);
    }
    return begins;
  }
};

TEST_F(ProgramNames, TheLaunchAndCheckAgreeOnEveryRule) {
  struct Row {
    const char* rule;
    std::string start;          // the start command; the line is it, " v -z"
    std::string path;           // the program that runs; empty: none does
    Lines arguments;            // what it gets after its argv[0]
    std::string argv0;          // its argv[0]
    std::string problem;        // why nothing runs
    std::string found = {};     // where -CHECK finds a program that cannot run
    std::string arranque = {};  // [arranque] 1, applied before the launch
  };
  const std::string mis = site / "Mis Bases/arranca";
  const Row rows[] = {
      {"a quoted name with blanks", "\"" + mis + "\" start", mis, {"start", "v", "-z"}, mis, ""},
      {"a quoted name followed directly by text",
       "\"" + mis + "\"start x",
       mis,
       {"x", "v", "-z"},
       mis + "start",
       ""},
      {"an unquoted name with blanks: a later candidate when the earlier are missing",
       mis + " start",
       mis,
       {"start", "v", "-z"},
       mis,
       ""},
      {"an unquoted name with blanks: the earliest existing candidate",
       site / "uno dos/tres start",
       site / "uno",
       {"dos/tres", "start", "v", "-z"},
       site / "uno",
       ""},
      {"a tab ending an unquoted name",
       site / "tabprog\tstart",
       site / "tabprog",
       {"start", "v", "-z"},
       site / "tabprog",
       ""},
      {"a bare name in the program's directory before PATH",
       "arranca_propio start",
       site / "arranca_propio",
       {"start", "v", "-z"},
       "arranca_propio",
       ""},
      {"a bare name in PATH",
       "solo_camino start",
       site / "camino/solo_camino",
       {"start", "v", "-z"},
       "solo_camino",
       ""},
      {"a bare name never in the working directory",
       "solo_cwd start",
       "",
       {},
       "",
       "cannot run \"solo_cwd\": not found in the program directory or in PATH"},
      {"a relative PATH entry skipped",
       "solo_rel start",
       "",
       {},
       "",
       "cannot run \"solo_rel\": not found in the program directory or in PATH"},
      {"a directory",
       site / "dir start",
       "",
       {},
       "",
       "cannot run \"" + site / "dir" + "\": it is a directory"},
      {"a file without an execute bit",
       site / "plain.txt start",
       "",
       {},
       "",
       "cannot run \"" + site / "plain.txt" + "\": not executable"},
      {"a missing file",
       site / "no/such start",
       "",
       {},
       "",
       "cannot run \"" + site / "no/such" + "\": No such file or directory"},
      {"a script whose \"#!\" line ends in CR",
       site / "crlf.sh start",
       "",
       {},
       "",
       "cannot run \"" + site / "crlf.sh" +
           "\": its \"#!\" line ends in a carriage return (the file was saved with Windows "
           "line ends), so the system reads it as \"/bin/sh\\r\"; convert it with dos2unix",
       site / "crlf.sh"},
      {"a script whose interpreter is missing",
       site / "no-interpreter.sh start",
       "",
       {},
       "",
       "cannot run \"" + site / "no-interpreter.sh" +
           "\": its interpreter \"/no/such/shell\" is missing or not executable",
       site / "no-interpreter.sh"},
      // Last: the service keeps the PATH it sets.
      {"a bare name in a PATH that [arranque] sets",
       "solo_otro start",
       site / "otro/solo_otro",
       {"start", "v", "-z"},
       "solo_otro",
       "",
       "",
       "1=SET PATH=" + site / "otro" + ":/usr/bin"},
  };

  site.Ombrel(Profile("recorder start"));
  Background service(site.program(), {}, PathEnv(), {}, Cwd());
  ASSERT_TRUE(Served()) << service.Err();

  for (const Row& row : rows) {
    SCOPED_TRACE(row.rule);
    site.Ombrel(Profile(row.start, row.arranque));
    const std::string line = row.start + " v -z";

    // -CHECK, as JSON: the program, where it is, its arguments, or why not.
    Result check = RunProgram(site.program(), {"-CHECK", "-JSON"}, PathEnv(), Cwd());
    EXPECT_EQ(check.status, row.path.empty() ? 3 : 0) << check.out << check.err;
    const tests::json::Value report = tests::json::Parse(check.out);
    const tests::json::Value& checked = report["start"][0];
    EXPECT_EQ(checked["line"].text, line);
    EXPECT_EQ(checked["path"].text, row.path.empty() ? row.found : row.path);
    EXPECT_EQ(checked["would_launch"].boolean, !row.path.empty());
    EXPECT_EQ(checked["problem"].text, row.problem);
    if (!row.path.empty()) {
      EXPECT_EQ(checked["arguments"].Strings(), row.arguments);
    }
    // The text form says the same, naming where the line comes from.
    Result text = RunProgram(site.program(), {"-CHECK"}, PathEnv(), Cwd());
    if (!row.problem.empty()) {
      EXPECT_NE(text.err.find("Ombrel.ini [start] 1: " + row.problem + "\n"), std::string::npos)
          << text.err;
    }

    // The real launch, by the serving instance.
    const std::size_t records = site.Records().size();
    const std::size_t logged = service.Err().size();
    Result asked = RunProgram(site.program(), {"-CONTINUE"}, PathEnv(), Cwd());
    ASSERT_NE(asked.out.find("continue: "), std::string::npos) << asked.out << asked.err;
    EXPECT_EQ(asked.status, row.path.empty() ? 1 : 0) << asked.err;
    const auto begins = BeginsFrom(records);
    const std::string log = service.Err().substr(logged);
    if (row.path.empty()) {
      EXPECT_TRUE(begins.empty());
      EXPECT_NE(log.find("launch failed: fila, 4GL: \"" + line + "\": " + row.problem + "\n"),
                std::string::npos)
          << log;
      continue;
    }
    ASSERT_EQ(begins.size(), 1u) << log;
    std::string arguments;
    for (const std::string& arg : row.arguments) arguments += (arguments.empty() ? "" : "|") + arg;
    EXPECT_EQ(begins[0][5], row.path);
    EXPECT_EQ(begins[0][6], row.argv0);
    EXPECT_EQ(begins[0][3], arguments);
    // And the check said exactly that.
    EXPECT_EQ(begins[0][5], checked["path"].text);
    EXPECT_EQ(begins[0][3], [&] {
      std::string joined;
      for (const std::string& arg : checked["arguments"].Strings()) {
        joined += (joined.empty() ? "" : "|") + arg;
      }
      return joined;
    }());
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Finish().status, 0);
}

// The site of a new operator who came from Windows: the program under a
// directory with a blank, quoted as Windows requires, starts and stops, and
// -CHECK finds nothing wrong.
TEST_F(ProgramNames, AQuotedProgramWithBlanksStartsAndStops) {
  const std::string mis = site / "Mis Bases/arranca";
  site.Ombrel("[start]\n1=\"" + mis + "\" start\n[stop]\n1=\"" + mis +
              "\" stop\n[bases4GL]\na=v\n");
  Result check = Check();
  EXPECT_EQ(check.status, 0) << check.err;
  Result r = StartThenStop("[start]\n1=\"" + mis + "\" start\n[stop]\n1=\"" + mis +
                           "\" stop\n[bases4GL]\na=v\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(site.Launched(), (Lines{"start|v|-z", "stop|v"})) << r.err;
  for (const auto& record : site.Records()) {
    if (record[0] == "begin") {
      EXPECT_EQ(record[5], mis);
    }
  }
}

}  // namespace
}  // namespace ostrim
