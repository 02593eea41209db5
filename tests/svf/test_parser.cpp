// The SVF parser on text alone: every statement and carry-over rule as the
// program it yields (one line per statement), statements handed over one at
// a time with where they are, and malformed files as the line, column and
// message of their first fault.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "lib/formats/svf/parser.hpp"

namespace orv::svf {
namespace {

std::string hex_or_dash(const Value& v)
{
    return v ? to_hex(*v) : "-";
}

std::string state_name(TapState s)
{
    return std::string(STATE_NAMES[static_cast<std::size_t>(s)]);
}

std::vector<Statement> statements(std::string_view text)
{
    std::vector<Statement> all;
    parse(text, [&](const Statement& s) {
        all.push_back(s);
        return true;
    });
    return all;
}

// "LINE: COMMAND details", one line per statement.
std::string dump(const std::vector<Statement>& program)
{
    std::ostringstream out;
    for (const Statement& s : program) {
        out << s.where.line << ": " << name_of(s.command);
        std::visit(
            [&](const auto& w) {
                using T = std::decay_t<decltype(w)>;
                if constexpr (std::is_same_v<T, Scan> || std::is_same_v<T, Padding>) {
                    const Pattern& p = w.pattern;
                    out << " " << p.length << " tdi=" << to_hex(*p.tdi) << " tdo=" << hex_or_dash(p.tdo)
                        << " mask=" << to_hex(*p.mask) << " smask=" << to_hex(*p.smask);
                } else if constexpr (std::is_same_v<T, EndState>) {
                    out << " " << state_name(w.state);
                } else if constexpr (std::is_same_v<T, Frequency>) {
                    out << " " << (w.hz ? std::to_string(static_cast<long long>(*w.hz)) : "-");
                } else if constexpr (std::is_same_v<T, StateMove>) {
                    out << (w.explicit_path ? " path" : "");
                    for (TapState t : w.path) {
                        out << " " << state_name(t);
                    }
                } else if constexpr (std::is_same_v<T, RunTest>) {
                    out << " " << state_name(w.run_state) << " " << w.run_count
                        << (w.system_clock ? " SCK" : " TCK") << " " << w.min_time
                        << " SEC max=" << (w.max_time ? std::to_string(*w.max_time) : "-")
                        << " end=" << state_name(w.end_state);
                } else if constexpr (std::is_same_v<T, Trst>) {
                    static constexpr const char* MODES[] = {"ON", "OFF", "Z", "ABSENT"};
                    out << " " << MODES[static_cast<int>(w.mode)];
                }
            },
            s.what);
        out << "\n";
    }
    return out.str();
}

struct Good {
    const char* what;
    const char* svf;
    const char* program;
};

void PrintTo(const Good& g, std::ostream* os)
{
    *os << g.what;
}

class Parses : public ::testing::TestWithParam<Good> {};

TEST_P(Parses, IntoTheseStatements)
{
    EXPECT_EQ(dump(statements(GetParam().svf)), GetParam().program) << GetParam().svf;
}

INSTANTIATE_TEST_SUITE_P(
    Svf, Parses,
    ::testing::Values(
        Good{"comments, case, any order of values",
             "! a comment\n// another\nsdr 8 tdo (0e) tdi (0F) SMask(7) MASK(Ff); // and here\n",
             "3: SDR 8 tdi=0f tdo=0e mask=ff smask=07\n"},
        Good{"a statement and a value across lines, comments inside",
             "SDR 40\n  TDI (12 3456 ! the first part\n       7890)\n  ;",
             "1: SDR 40 tdi=1234567890 tdo=- mask=ffffffffff smask=ffffffffff\n"},
        Good{"fewer digits are zero-extended, leading zeros are fine", "SDR 12 TDI (5); SIR 6 TDI (0009);",
             "1: SDR 12 tdi=005 tdo=- mask=fff smask=fff\n1: SIR 6 tdi=09 tdo=- mask=3f smask=3f\n"},
        Good{"TDI, MASK and SMASK carry over while the length stays; TDO does not",
             "SDR 8 TDI (01) MASK (0F) SMASK (03);\nSDR 8 TDO (AA);\nSDR 8 TDI (02);",
             "1: SDR 8 tdi=01 tdo=- mask=0f smask=03\n2: SDR 8 tdi=01 tdo=aa mask=0f smask=03\n"
             "3: SDR 8 tdi=02 tdo=- mask=0f smask=03\n"},
        Good{"a new length resets MASK and SMASK to all ones",
             "SDR 8 TDI (01) MASK (0F) SMASK (03);\nSDR 4 TDI (1);",
             "1: SDR 8 tdi=01 tdo=- mask=0f smask=03\n2: SDR 4 tdi=1 tdo=- mask=f smask=f\n"},
        Good{"length 0 needs no TDI", "SDR 8 TDI (01);\nSDR 0;",
             "1: SDR 8 tdi=01 tdo=- mask=ff smask=ff\n2: SDR 0 tdi= tdo=- mask= smask=\n"},
        Good{"each command carries over its own values",
             "SIR 4 TDI (1) MASK (3);\nSDR 4 TDI (2);\nHIR 4 TDI (4);\nSIR 4;\nHIR 4 TDO (0);",
             "1: SIR 4 tdi=1 tdo=- mask=3 smask=f\n2: SDR 4 tdi=2 tdo=- mask=f smask=f\n3: HIR 4 tdi=4 tdo=- "
             "mask=f smask=f\n"
             "4: SIR 4 tdi=1 tdo=- mask=3 smask=f\n5: HIR 4 tdi=4 tdo=0 mask=f smask=f\n"},
        Good{"headers and trailers",
             "HIR 4 TDI (F);\nHDR 1 TDI (0) TDO (1);\nTIR 2 TDI (3);\nTDR 3 TDI (5) MASK (6);\nHDR 0;",
             "1: HIR 4 tdi=f tdo=- mask=f smask=f\n2: HDR 1 tdi=0 tdo=1 mask=1 smask=1\n3: TIR 2 tdi=3 tdo=- "
             "mask=3 smask=3\n"
             "4: TDR 3 tdi=5 tdo=- mask=6 smask=7\n5: HDR 0 tdi= tdo=- mask= smask=\n"},
        Good{"end states", "ENDIR IRPAUSE;\nENDDR drpause;\nENDDR RESET;",
             "1: ENDIR IRPAUSE\n2: ENDDR DRPAUSE\n3: ENDDR RESET\n"},
        Good{"STATE: a goal, or a path one clock a step (RESET reached from anywhere)",
             "STATE RESET;\nSTATE IDLE;\nSTATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE;\nSTATE DREXIT2 DRUPDATE "
             "IDLE;\n"
             "STATE RESET IDLE;\nSTATE IDLE IDLE;",
             "1: STATE RESET\n2: STATE IDLE\n3: STATE path DRSELECT DRCAPTURE DREXIT1 DRPAUSE\n"
             "4: STATE path DREXIT2 DRUPDATE IDLE\n5: STATE path RESET IDLE\n6: STATE path IDLE IDLE\n"},
        Good{
            "RUNTEST in all its forms, run and end states sticky",
            "RUNTEST 100 TCK;\nRUNTEST DRPAUSE 1.0E-3 SEC;\nRUNTEST 20 TCK;\n"
            "RUNTEST IDLE 5 SCK 1E-2 SEC MAXIMUM 1 SEC ENDSTATE IRPAUSE;\nRUNTEST 1 TCK;\nRUNTEST RESET 3 "
            "TCK;\n"
            "runtest 2.5e-1 sec endstate idle;",
            "1: RUNTEST IDLE 100 TCK 0 SEC max=- end=IDLE\n2: RUNTEST DRPAUSE 0 TCK 0.001 SEC max=- "
            "end=DRPAUSE\n"
            "3: RUNTEST DRPAUSE 20 TCK 0 SEC max=- end=DRPAUSE\n"
            "4: RUNTEST IDLE 5 SCK 0.01 SEC max=1.000000 end=IRPAUSE\n5: RUNTEST IDLE 1 TCK 0 SEC max=- "
            "end=IRPAUSE\n"
            "6: RUNTEST RESET 3 TCK 0 SEC max=- end=RESET\n7: RUNTEST RESET 0 TCK 0.25 SEC max=- end=IDLE\n"},
        Good{"FREQUENCY with and without a value", "FREQUENCY 1.5E6 HZ;\nFREQUENCY;",
             "1: FREQUENCY 1500000\n2: FREQUENCY -\n"},
        Good{"TRST in its four modes", "TRST ON;\nTRST OFF;\nTRST z;\nTRST ABSENT;\nTRST ABSENT;",
             "1: TRST ON\n2: TRST OFF\n3: TRST Z\n4: TRST ABSENT\n5: TRST ABSENT\n"},
        Good{"nothing but comments", "! nothing\n// at all\n", ""}),
    [](const auto& test) { return "case" + std::to_string(test.index); });

struct Bad {
    const char* svf;
    const char* error; // what() of the ParseError
};

void PrintTo(const Bad& b, std::ostream* os)
{
    *os << b.svf;
}

class Refuses : public ::testing::TestWithParam<Bad> {};

TEST_P(Refuses, WithLineColumnAndMessage)
{
    try {
        (void)statements(GetParam().svf);
        ADD_FAILURE() << "parsed: " << GetParam().svf;
    } catch (const ParseError& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Svf, Refuses,
    ::testing::Values(
        Bad{"SDR 8 TDI (01)", "line 1, column 1: 'SDR' is not ended by ';' before the end of the file"},
        Bad{"SDR 8 TDI (00);\n\nSDR 8 TDI (01",
            "line 3, column 11: '(' is not closed before the end of the file"},
        Bad{"SDR 8 TDI (00);\n\n  SDR 8 TDI (0X);", "line 3, column 15: bad hex digit 'X' in TDI"},
        Bad{"SIR 4 TDI (1F);", "line 1, column 11: TDI has bits set beyond the length of 4 bits"},
        Bad{"SDR 3 TDI (0) TDO (8);", "line 1, column 19: TDO has bits set beyond the length of 3 bits"},
        Bad{"ENDDR DRSHIFTY;", "line 1, column 7: unknown state 'DRSHIFTY'"},
        Bad{"ENDIR DRSHIFT;",
            "line 1, column 7: DRSHIFT is not a stable state (RESET, IDLE, DRPAUSE or IRPAUSE)"},
        Bad{"SCAN 8;", "line 1, column 1: unknown command 'SCAN'"},
        Bad{"SDR 8 TDI (0);\nSDR 16;",
            "line 2, column 1: SDR 16 changes the length (was 8), so it needs TDI"},
        Bad{"SIR 4;", "line 1, column 1: SIR 4 changes the length (was 0), so it needs TDI"},
        Bad{"SDR;", "line 1, column 1: SDR needs a length"},
        Bad{"SDR 8.5 TDI (0);", "line 1, column 5: SDR length '8.5' is not a whole number"},
        Bad{"SDR 2000000000 TDI (0);",
            "line 1, column 5: SDR length 2000000000 is above the 1073741824 bits accepted"},
        Bad{"SDR 4 TDI (1) TDI (2);", "line 1, column 15: TDI is given twice"},
        Bad{"SDR 4 TDI;", "line 1, column 7: TDI needs a hex value in parentheses"},
        Bad{"SDR 4 TDX (1);", "line 1, column 7: expected TDI, TDO, MASK or SMASK in SDR, found 'TDX'"},
        Bad{"STATE IDLE DRPAUSE;", "line 1, column 12: DRPAUSE does not follow IDLE in one clock"},
        Bad{"STATE DRSELECT;",
            "line 1, column 7: DRSELECT is not a stable state (RESET, IDLE, DRPAUSE or IRPAUSE)"},
        Bad{"RUNTEST;", "line 1, column 1: RUNTEST needs a clock count or a time"},
        Bad{"RUNTEST 10 FOO;", "line 1, column 12: expected TCK, SCK or SEC after '10'"},
        Bad{"RUNTEST 1.5 TCK;", "line 1, column 9: the clock count '1.5' is not a whole number"},
        Bad{"RUNTEST 1 SEC MAXIMUM 0.5 SEC;",
            "line 1, column 23: the maximum time is below the minimum time"},
        Bad{"RUNTEST 1E9 SEC;", "line 1, column 9: the time 1E9 SEC is above the 86400 seconds accepted"},
        Bad{"RUNTEST 10 TCK ENDSTATE DRSHIFT;",
            "line 1, column 25: DRSHIFT is not a stable state (RESET, IDLE, DRPAUSE or IRPAUSE)"},
        Bad{"RUNTEST 10 TCK IDLE;", "line 1, column 16: unexpected 'IDLE' in RUNTEST"},
        Bad{"FREQUENCY 0 HZ;", "line 1, column 11: expected a frequency above 0, found '0'"},
        Bad{"FREQUENCY 1E6;", "line 1, column 11: expected HZ after the frequency"},
        Bad{"TRST ABSENT;\nTRST ON;", "line 2, column 1: TRST ON after TRST ABSENT"},
        Bad{"TRST MAYBE;", "line 1, column 6: TRST takes ON, OFF, Z or ABSENT, not 'MAYBE'"},
        Bad{"SDR 8 TDI (0);\nPIO (HLUD);",
            "line 2, column 1: PIO is not supported: the adapter has no parallel test pins"},
        Bad{"PIOMAP (IN A OUT B);",
            "line 1, column 1: PIOMAP is not supported: the adapter has no parallel test pins"},
        Bad{"SDR 8 TDI 0);", "line 1, column 12: ')' without '('"},
        Bad{"(01);", "line 1, column 1: expected a command, found a value in parentheses"}),
    [](const auto& test) { return "case" + std::to_string(test.index); });

// Statements come one at a time, numbered and placed, and hold only what
// their values need: a zero-extended value or an all-ones mask of any length
// stores nothing. A sink that says stop ends the reading there; a stop
// asked for ends it with Stopped.
TEST(SvfParser, StreamsStatementsWithTheirPlaceAndStops)
{
    const std::string text = "SDR 8 TDI (0f);\n  // note\n  SIR 1000000000 TDI (0) TDO (1);\nSTATE IDLE;\n";
    const std::vector<Statement> all = statements(text);
    ASSERT_EQ(all.size(), 3u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].index, i);
        EXPECT_EQ(text[all[i].end_offset - 1], ';');
    }
    EXPECT_EQ(all[1].offset, text.find("SIR"));
    EXPECT_EQ(all[1].where, (Location{3, 3}));
    const Pattern& p = std::get<Scan>(all[1].what).pattern;
    EXPECT_EQ(p.length, 1000000000u);
    EXPECT_EQ(p.tdi->view().stored_bits(), 0u);
    EXPECT_EQ(p.mask->view().stored_bits(), 0u);
    EXPECT_TRUE((*p.mask)[999999999]);
    EXPECT_EQ(p.tdo->view().stored_bits(), 8u);
    EXPECT_TRUE((*p.tdo)[0]);
    EXPECT_FALSE((*p.tdo)[1]);

    int seen = 0;
    parse(text, [&](const Statement&) { return ++seen < 2; });
    EXPECT_EQ(seen, 2);
    seen = 0;
    EXPECT_THROW(parse(
                     text,
                     [&](const Statement&) {
                         ++seen;
                         return true;
                     },
                     [&] { return seen == 1; }),
                 Stopped);
    EXPECT_EQ(seen, 1);

    const auto program = load(text);
    EXPECT_EQ(program->statements(), 3u);
    EXPECT_EQ(program->bytes(), text.size());
    std::vector<std::uint64_t> indexes;
    EXPECT_TRUE(program->each([&](const Statement& s) {
        indexes.push_back(s.index);
        return true;
    }));
    EXPECT_EQ(indexes, (std::vector<std::uint64_t>{0, 1, 2}));
}

} // namespace
} // namespace orv::svf
