// A configuration file as a computer's desired state: the difference people read, and the lines
// that make a computer hold what a restore of the file would leave, checked against a model of
// the service that does what its commands do (and refuses what it refuses).
#include <gtest/gtest.h>

#include <random>

#include "console/desired_state.h"
#include "shared/text.h"

using namespace zantor;
using namespace zantor::console;

namespace {

FilterRecord Tcp(int port, int flags = 0) {
    return ParseFilterWords(std::to_string(flags) +
                                " 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 " +
                                std::to_string(port) + " 0 " + std::to_string(port),
                            1);
}

// One address as the service has it, lists included while it does not filter.
struct ModelAddress {
    std::string address;
    bool active = false;
    int in = 0, out = 0;
    std::uint32_t globals = 0;
    std::vector<FilterRecord> lists[2];
};

// What the console reads of it: an address that does not filter lists no filters, only counts.
ComputerState Read(const std::vector<ModelAddress>& model) {
    ComputerState state;
    for (const ModelAddress& m : model) {
        AddressState a;
        a.address = m.address;
        a.filtering = m.active;
        a.globals = m.globals;
        if (m.active) {
            a.in = m.in;
            a.out = m.out;
            for (int d = 0; d < 2; ++d) a.filters[d] = m.lists[d];
        } else {
            for (int d = 0; d < 2; ++d) a.unread[d] = m.lists[d].size();
        }
        state.push_back(a);
    }
    return state;
}

// The service's answer to a line, and its effect: what staf, stof, df, sif, rif, sig and rig do.
// False where the service would refuse the line.
bool Send(std::vector<ModelAddress>& model, const std::string& line) {
    const std::string code(GetWord(line, 1));
    ModelAddress* a = nullptr;
    for (ModelAddress& m : model)
        if (m.address == GetWord(line, 2)) a = &m;
    if (!a) return false;
    const int d = GetWord(line, 3) == "out" ? 1 : 0;
    if (code == "staf") {
        if (a->active) return false;
        a->active = true;
        a->in = StrToInt(GetWord(line, 3));
        a->out = StrToInt(GetWord(line, 4));
        return true;
    }
    if (code == "df") {
        if (a->active) return false;
        a->lists[0].clear();
        a->lists[1].clear();
        a->globals = 0;
        return true;
    }
    if (!a->active) return false;
    if (code == "stof") {
        a->active = false;
        return true;
    }
    if (code == "sig" || code == "rig") {
        const std::uint32_t bit = 1u << StrToInt(GetWord(line, 3));
        a->globals = code == "sig" ? a->globals | bit : a->globals & ~bit;
        return true;
    }
    if (code == "sif") {
        const FilterRecord f = ParseFilterWords(GetWords(line, 4, -1), 1);
        for (const FilterRecord& g : a->lists[d])
            if (SameFilter(f, g)) return false;
        a->lists[d].push_back(f);
        return true;
    }
    if (code == "rif") {
        const auto pos = static_cast<std::size_t>(StrToInt(GetWord(line, 4)));
        if (pos >= a->lists[d].size()) return false;
        a->lists[d].erase(a->lists[d].begin() + static_cast<long>(pos));
        return true;
    }
    return false;
}

// The same filters, in any order.
bool SameSet(std::vector<FilterRecord> a, std::vector<FilterRecord> b) {
    if (a.size() != b.size()) return false;
    for (const FilterRecord& f : a) {
        auto at = std::find(b.begin(), b.end(), f);
        if (at == b.end()) return false;
        b.erase(at);
    }
    return true;
}

// Whether the model holds exactly the desired state (filters in any order), with nothing kept
// on an address that does not filter.
::testing::AssertionResult Holds(const std::vector<ModelAddress>& model,
                                 const ComputerState& desired) {
    for (std::size_t i = 0; i < model.size(); ++i) {
        const ModelAddress& m = model[i];
        const AddressState& w = desired[i];
        const bool ok = m.active == w.filtering && m.globals == w.globals &&
                        (!w.filtering || (m.in == w.in && m.out == w.out)) &&
                        SameSet(m.lists[0], w.filters[0]) && SameSet(m.lists[1], w.filters[1]);
        if (!ok) return ::testing::AssertionFailure() << "address " << m.address << " differs";
    }
    return ::testing::AssertionSuccess();
}

AddressPlan On(const std::string& address, int in, int out, const std::string& global,
               std::vector<std::string> inFilters, std::vector<std::string> outFilters = {}) {
    AddressPlan p;
    p.filtering = true;
    p.address = address;
    p.in = in;
    p.out = out;
    p.global = global;
    p.filters[0] = std::move(inFilters);
    p.filters[1] = std::move(outFilters);
    return p;
}

std::vector<std::string> Lines(const std::vector<Change>& changes) {
    std::vector<std::string> lines;
    for (const Change& c : changes) lines.push_back(ChangeLine(c));
    return lines;
}

TEST(DesiredState, AFileSwitchesOnItsAddressesAndLeavesEveryOtherOffWithNothingKept) {
    ComputerState live(3);
    live[0].address = "10.0.0.5";
    live[1].address = "192.168.1.20";
    live[2].address = "127.0.0.1";
    live[1].filtering = true;
    live[1].filters[0] = {Tcp(22)};
    live[2].unread[0] = 4;
    AddressPlan off;  // a section with Filtering=Off: its address ends as any other unlisted
    const std::string web = FilterToStr(Tcp(80));
    ComputerState desired;
    std::string problem;
    // The file names the address with a zero of its own, as a person may type it; the service's
    // spelling is the one the lines use.
    ASSERT_TRUE(DesiredState({off, On("10.0.0.005", 1, 0, "2,9", {web, FilterToStr(Tcp(80)), web})},
                             live, desired, problem))
        << problem;
    ASSERT_EQ(desired.size(), 3u);
    EXPECT_EQ(desired[0].address, "10.0.0.5");
    EXPECT_TRUE(desired[0].filtering);
    EXPECT_EQ(desired[0].in, 1);
    EXPECT_EQ(desired[0].globals, (1u << 2) | (1u << 9));
    // A filter repeated is kept once, as the service keeps it.
    EXPECT_EQ(desired[0].filters[0], std::vector<FilterRecord>{Tcp(80)});
    for (int i : {1, 2}) {
        AddressState nothing;
        nothing.address = live[static_cast<std::size_t>(i)].address;
        EXPECT_EQ(desired[static_cast<std::size_t>(i)], nothing) << i;
    }
}

TEST(DesiredState, AFileForAnotherComputerIsRefusedWithWhy) {
    ComputerState live(1);
    live[0].address = "10.0.0.5";
    ComputerState desired;
    std::string problem;
    EXPECT_FALSE(
        DesiredState({AddressPlan{}, On("10.9.9.9", 0, 0, "", {})}, live, desired, problem));
    EXPECT_EQ(problem,
              "[IP1] switches filtering on at 10.9.9.9, which is no address of this computer (its "
              "addresses: 10.0.0.5).");
    EXPECT_FALSE(DesiredState({On("10.0.0.5", 0, 0, "", {}), On("10.0.0.5", 1, 1, "", {})}, live,
                              desired, problem));
    EXPECT_EQ(problem,
              "[IP1] switches filtering on at 10.0.0.5 again: an earlier section of the file does "
              "already.");
    EXPECT_FALSE(DesiredState({On("10.0.0.5", 0, 0, "", {})}, {}, desired, problem));
    EXPECT_EQ(problem,
              "[IP0] switches filtering on at 10.0.0.5, which is no address of this computer (it "
              "has none).");
}

TEST(DesiredState, ThePlanReadsAsPeopleKnowItAndCountsEveryItem) {
    const std::string f22 = FilterToStr(Tcp(22)), f80 = FilterToStr(Tcp(80)),
                      f443 = FilterToStr(Tcp(443)), f53 = FilterToStr(Tcp(53));
    ComputerState live(3), desired(3);
    for (ComputerState* s : {&live, &desired}) {
        (*s)[0].address = "10.0.0.5";
        (*s)[1].address = "10.0.0.6";
        (*s)[2].address = "10.0.0.7";
    }
    // 10.0.0.5 filters and goes on filtering: new actions, a global filter each way, a filter
    // that stays, one edited in place (80 becomes 443), one added to the output.
    live[0].filtering = desired[0].filtering = true;
    live[0].in = 1;
    live[0].globals = 1u << 2;
    desired[0].globals = 1u << 8;
    live[0].filters[0] = {Tcp(22), Tcp(80)};
    desired[0].filters[0] = {Tcp(22), Tcp(443)};
    desired[0].filters[1] = {Tcp(53)};
    // 10.0.0.6 stops filtering; 10.0.0.7 kept 2 filters while off and starts with one.
    live[1].filtering = true;
    live[1].filters[0] = {Tcp(22)};
    live[2].unread[0] = 2;
    desired[2].filtering = true;
    desired[2].out = 1;
    desired[2].filters[0] = {Tcp(22)};

    const std::vector<Change> changes = Difference(live, desired);
    EXPECT_EQ(Lines(changes),
              (std::vector<std::string>{
                  "~ 10.0.0.5 default actions: input drop, output forward -> input forward, "
                  "output forward",
                  "- 10.0.0.5 global filter 2 (fragment checking)",
                  "+ 10.0.0.5 global filter 8 (strong host checking)",
                  "~ 10.0.0.5 in filter " + f80 + " -> " + f443,
                  "+ 10.0.0.5 out filter " + f53,
                  "- 10.0.0.6 filtering off (was input forward, output forward)",
                  "- 10.0.0.6 in filter " + f22,
                  "+ 10.0.0.7 filtering on: input forward, output drop",
                  "- 10.0.0.7 in: 2 filters kept while filtering is off",
                  "+ 10.0.0.7 in filter " + f22,
              }));
    EXPECT_EQ(PlanSummary(changes), "Plan: 4 to add, 2 to change, 5 to remove.");
    EXPECT_EQ(PlanSummary({}), "No changes.");
    EXPECT_EQ(ChangesJson({changes[3], changes[8]}),
              "[{\"change\":\"change\",\"address\":\"10.0.0.5\",\"item\":\"filter\","
              "\"direction\":\"in\",\"before\":\"" +
                  f80 + "\",\"after\":\"" + f443 +
                  "\",\"count\":1},{\"change\":\"remove\",\"address\":\"10.0.0.7\","
                  "\"item\":\"kept-filters\",\"direction\":\"in\",\"before\":\"2 filters kept "
                  "while filtering is off\",\"count\":2}]");
}

TEST(DesiredState, AnEditedFilterIsAddedBeforeTheOldOneGoesAndPositionsStayValid) {
    std::vector<ModelAddress> model(1);
    model[0] = {"10.0.0.5", true, 1, 0, 0, {{Tcp(21), Tcp(22), Tcp(23), Tcp(80)}, {}}};
    ComputerState desired = Read(model);
    desired[0].filters[0] = {Tcp(22), Tcp(443), Tcp(80)};
    const std::vector<std::string> lines = ApplyLines(Read(model), desired);
    EXPECT_EQ(lines, (std::vector<std::string>{"sif 10.0.0.5 in " + FilterToStr(Tcp(443)),
                                               "rif 10.0.0.5 in 2", "rif 10.0.0.5 in 0"}));
    for (const std::string& line : lines) ASSERT_TRUE(Send(model, line)) << line;
    EXPECT_TRUE(Holds(model, desired));
    // Only the default actions need filtering stopped and started; the filters stay.
    desired[0].in = 0;
    EXPECT_EQ(ApplyLines(Read(model), desired),
              (std::vector<std::string>{"stof 10.0.0.5", "staf 10.0.0.5 0 0"}));
}

TEST(DesiredState, AnyLiveStateReachesAnyDesiredStateAndThenThereIsNothingLeftToDo) {
    std::mt19937 random(27);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    // Few ports, so that lists share filters and differ in order.
    auto someFilters = [&] {
        std::vector<FilterRecord> list;
        for (int n = pick(5); n > 0; --n) {
            const FilterRecord f = Tcp(20 + pick(6), pick(2));
            bool known = false;
            for (const FilterRecord& g : list) known = known || SameFilter(f, g);
            if (!known) list.push_back(f);
        }
        return list;
    };
    auto someGlobals = [&] {
        return (pick(2) ? 1u << 2 : 0u) | (pick(2) ? 1u << 8 : 0u) | (pick(2) ? 1u << 9 : 0u);
    };
    for (int round = 0; round < 2000; ++round) {
        std::vector<ModelAddress> model(3);
        ComputerState desired(3);
        for (std::size_t i = 0; i < 3; ++i) {
            ModelAddress& m = model[i];
            m.address = desired[i].address = "10.0.0." + std::to_string(5 + i);
            m.active = pick(2);
            if (m.active) {
                m.in = pick(2);
                m.out = pick(2);
            }
            m.globals = someGlobals();
            m.lists[0] = someFilters();
            m.lists[1] = someFilters();
            if (pick(3)) {
                AddressState& w = desired[i];
                w.filtering = true;
                w.in = pick(2);
                w.out = pick(2);
                w.globals = someGlobals();
                w.filters[0] = someFilters();
                w.filters[1] = someFilters();
            }
        }
        const ComputerState live = Read(model);
        const std::vector<std::string> lines = ApplyLines(live, desired);
        EXPECT_EQ(lines.empty(), Difference(live, desired).empty()) << round;
        for (const std::string& line : lines)
            ASSERT_TRUE(Send(model, line)) << round << ": " << line;
        ASSERT_TRUE(Holds(model, desired)) << round;
        // A second apply of the same file sends nothing and plans nothing.
        EXPECT_EQ(ApplyLines(Read(model), desired), std::vector<std::string>{}) << round;
        EXPECT_EQ(Difference(Read(model), desired), std::vector<Change>{}) << round;
    }
}

TEST(DesiredState, JsonStringsStayValidWhateverTheTextHolds) {
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString(std::string("\x1b[2J\n\x7f", 6)), "\"\\u001b[2J\\u000a\\u007f\"");
    EXPECT_EQ(JsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");    // UTF-8 passes whole
    EXPECT_EQ(JsonString("\xe9t\xc3"), "\"\\u00e9t\\u00c3\"");  // a stray byte, a cut character
}

}  // namespace
