// The state file's text: the engines a serving instance watches, written
// and read back exactly; anything else refused.
#include <gtest/gtest.h>

#include "record.h"
#include "state_file.h"

namespace ostrim {
namespace {

// Written and read back exactly, whatever a name holds; anything else is
// refused, saying which line.
TEST(StateFile, ReadsBackWhatItWroteAndRefusesAnythingElse) {
  const std::vector<KeptEngine> engines = {
      {{"ventas", "4GL", "ventas -4gl"},
       4107,
       "8812@b00t",
       "2026-12-09T10:02:11Z",
       "arranca ventas -4gl -z"},
      {{"tab\tnew\nline\\", "SQL", "a\\b"}, 1, "1@x", "2026-01-01T00:00:00Z", ""},
  };
  for (const bool paused : {false, true}) {
    EXPECT_EQ(ParseState(StateText({paused, engines})).paused, paused);
  }
  const std::vector<KeptEngine> back = ParseState(StateText({true, engines})).engines;
  ASSERT_EQ(back.size(), engines.size());
  for (std::size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i].tag.database, engines[i].tag.database);
    EXPECT_EQ(back[i].tag.pass, engines[i].tag.pass);
    EXPECT_EQ(back[i].tag.argument, engines[i].tag.argument);
    EXPECT_EQ(back[i].pid, engines[i].pid);
    EXPECT_EQ(back[i].identity, engines[i].identity);
    EXPECT_EQ(back[i].launched, engines[i].launched);
    EXPECT_EQ(back[i].command, engines[i].command);
  }
  const std::string head = "ostrim-engines\t1\n";
  const std::string good = "engine\tv\t4GL\t12\t1@x\t2026-12-09T10:02:11Z\tv\tarranca v\n";
  struct Case {
    std::string text;
    const char* why;
  };
  const Case bad[] = {
      {"", "empty"},
      {"garbage\n", "line 1: it is not a state file"},
      {head + good.substr(0, good.size() - 1), "cut short"},
      {head + "engine\tv\t4GL\t12\n", "line 2: not an engine's line"},
      {head + "motor" + good.substr(6), "line 2: not an engine's line"},
      {head + "engine\tv\tstop\t12\t1@x\t2026-12-09T10:02:11Z\tv\tc\n", "no start pass"},
      {head + "engine\tv\t4GL\t-3\t1@x\t2026-12-09T10:02:11Z\tv\tc\n", "no pid"},
      {head + "engine\tv\t4GL\t12x\t1@x\t2026-12-09T10:02:11Z\tv\tc\n", "no pid"},
      {head + "engine\tv\t4GL\t12\t\t2026-12-09T10:02:11Z\tv\tc\n", "no identity"},
      {head + "engine\tv\t4GL\t12\t1@x\tyesterday\tv\tc\n", "no time"},
      {head + "state\trunning\n", "no state it keeps"},
      {head + good + "state\tpaused\n", "line 3: not an engine's line"},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.text);
    try {
      ParseState(c.text);
      ADD_FAILURE() << "believed";
    } catch (const StateError& e) {
      EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(ParseState(head + good).engines.size(), 1u);
  EXPECT_TRUE(ParseState(head).Empty());
}

// The record's engines are kept, with their launch time and argument;
// stop commands and ended engines are not, nor one whose identity cannot
// be had. A paused or pausing service is kept paused, engines or none.
TEST(StateFile, KeepsTheEnginesStillRunningAndAPause) {
  ServiceRecord record;
  record.Launched({"ventas", "4GL", "ventas -4gl"}, 10, "arranca ventas -4gl -z");
  record.Launched({"compras", "SQL", "compras"}, 11, "arranca compras -z");
  record.Launched({"almacen", "4GL", "almacen"}, 12, "arranca almacen -z");
  record.Launched({"ventas", "stop", "ventas"}, 13, "para ventas ");
  record.Ended({"almacen", "4GL", "almacen"}, 12, {}, true);
  record.Adopted({"viejo", "4GL", "viejo"}, 14, "arranca viejo -z", "2026-01-01T00:00:00Z");
  const auto identity = [](std::int64_t pid) {
    return pid == 11 ? "" : "id" + std::to_string(pid);
  };
  EXPECT_FALSE(StateToKeep(record, identity).paused);
  const std::vector<KeptEngine> kept = StateToKeep(record, identity).engines;
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].tag.database, "ventas");
  EXPECT_EQ(kept[0].tag.argument, "ventas -4gl");
  EXPECT_EQ(kept[0].identity, "id10");
  EXPECT_TRUE(UnixSeconds(kept[0].launched));
  EXPECT_EQ(kept[1].tag.database, "viejo");
  EXPECT_EQ(kept[1].launched, "2026-01-01T00:00:00Z");
  EXPECT_TRUE(record.AdoptedRuns("viejo"));
  EXPECT_FALSE(record.AdoptedRuns("ventas"));
  EXPECT_EQ(record.StartedWith("viejo"), "viejo");
  for (const ServiceState state : {ServiceState::kPausing, ServiceState::kPaused}) {
    record.EnterState(state);
    EXPECT_TRUE(StateToKeep(record, identity).paused);
  }
  record.EnterState(ServiceState::kContinuing);
  EXPECT_FALSE(StateToKeep(record, identity).paused) << "a continue under way wanted it running";
  EXPECT_TRUE(ServiceRecord().TakeKeptChanged());
}

}  // namespace
}  // namespace ostrim
