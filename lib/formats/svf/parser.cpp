#include "lib/formats/svf/parser.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "lib/formats/svf/parse_error.hpp"
#include "lib/formats/svf/svf_lexer.hpp"
#include "lib/wire/tap_state.hpp"

namespace orv::svf {

namespace {

bool equal_ignoring_case(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
    }
    return true;
}

std::optional<Command> command_named(std::string_view word) noexcept
{
    for (std::size_t i = 0; i < SVF_COMMANDS; ++i) {
        if (equal_ignoring_case(word, COMMAND_NAMES[i])) {
            return static_cast<Command>(i);
        }
    }
    return std::nullopt;
}

std::optional<TapState> state_named(std::string_view word) noexcept
{
    for (std::size_t i = 0; i < std::size(STATE_NAMES); ++i) {
        if (equal_ignoring_case(word, STATE_NAMES[i])) {
            return static_cast<TapState>(i);
        }
    }
    return std::nullopt;
}

std::string quoted(std::string_view word)
{
    return "'" + std::string(word) + "'";
}

std::string describe(const Token& token)
{
    switch (token.kind) {
    case TokenKind::word:
        return quoted(token.text);
    case TokenKind::value:
        return "a value in parentheses";
    case TokenKind::end_of_statement:
        return "';'";
    case TokenKind::end_of_file:
        break;
    }
    return "the end of the file";
}

// A decimal or real number such as 32, 1000, 1.0E-3, 1E6; empty otherwise.
std::optional<double> number(std::string_view word) noexcept
{
    if (word.empty() || !(std::isdigit(static_cast<unsigned char>(word[0])) != 0 || word[0] == '.')) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (ec != std::errc() || end != word.data() + word.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// The pattern commands, each with its own carry-over.
enum PatternKind : std::size_t {
    SIR_PATTERN,
    SDR_PATTERN,
    HIR_PATTERN,
    HDR_PATTERN,
    TIR_PATTERN,
    TDR_PATTERN
};

struct Sticky {
    std::uint32_t length = 0;
    Value tdi = std::make_shared<const Bits>();
    Value mask = std::make_shared<const Bits>();
    Value smask = std::make_shared<const Bits>();
};

class Parser {
public:
    Parser(std::string_view text, const StatementSink& each, const StopCheck& stop)
        : lexer_(text), each_(each), stop_(stop)
    {
    }

    void run()
    {
        while (!done_) {
            if (stop_ && stop_()) {
                throw Stopped();
            }
            Token first = lexer_.next();
            if (first.kind == TokenKind::end_of_file) {
                break;
            }
            if (first.kind != TokenKind::word) {
                throw ParseError(first.where, "expected a command, found " + describe(first));
            }
            tokens_.clear();
            tokens_.push_back(std::move(first));
            for (;;) {
                Token t = lexer_.next();
                if (t.kind == TokenKind::end_of_file) {
                    throw ParseError(tokens_[0].where, quoted(tokens_[0].text) +
                                                           " is not ended by ';' before the end of the file");
                }
                if (t.kind == TokenKind::end_of_statement) {
                    end_offset_ = t.offset;
                    break;
                }
                tokens_.push_back(std::move(t));
            }
            statement();
        }
    }

private:
    [[noreturn]] void fail(const Token& at, const std::string& message) const
    {
        throw ParseError(at.where, message);
    }

    std::string command_text() const { return std::string(name_of(command_)); }

    void add(Statement::Variant what);

    void statement()
    {
        const auto command = command_named(tokens_[0].text);
        if (!command) {
            fail(tokens_[0], "unknown command " + quoted(tokens_[0].text));
        }
        command_ = *command;
        switch (command_) {
        case Command::sir:
            return scan(Register::ir, SIR_PATTERN);
        case Command::sdr:
            return scan(Register::dr, SDR_PATTERN);
        case Command::hir:
            return padding(Register::ir, false, HIR_PATTERN);
        case Command::hdr:
            return padding(Register::dr, false, HDR_PATTERN);
        case Command::tir:
            return padding(Register::ir, true, TIR_PATTERN);
        case Command::tdr:
            return padding(Register::dr, true, TDR_PATTERN);
        case Command::endir:
            return end_state(Register::ir);
        case Command::enddr:
            return end_state(Register::dr);
        case Command::state:
            return state_move();
        case Command::runtest:
            return run_test();
        case Command::frequency:
            return frequency();
        case Command::trst:
            return trst();
        case Command::pio:
        case Command::piomap:
            fail(tokens_[0], command_text() + " is not supported: the adapter has no parallel test pins");
        default:
            fail(tokens_[0],
                 "unknown command " + quoted(tokens_[0].text)); // (command_named() gives SVF's only)
        }
    }

    // ---- patterns ---------------------------------------------------------

    Value take_value(const Token& name, const Token& value, std::uint32_t length)
    {
        if (value.non_hex) {
            throw ParseError(*value.non_hex, "bad hex digit " + printable(value.non_hex_char) + " in " +
                                                 std::string(name.text));
        }
        auto bits = bits_from_hex(value.digits, length);
        if (!bits) {
            fail(value, std::string(name.text) + " has bits set beyond the length of " +
                            std::to_string(length) + (length == 1 ? " bit" : " bits"));
        }
        return std::make_shared<const Bits>(std::move(*bits));
    }

    Pattern pattern(PatternKind kind)
    {
        if (tokens_.size() < 2 || tokens_[1].kind != TokenKind::word) {
            fail(tokens_[0], command_text() + " needs a length");
        }
        const Token& length_token = tokens_[1];
        const auto length_value = number(length_token.text);
        if (!length_value || *length_value != std::floor(*length_value) ||
            length_token.text.find_first_not_of("0123456789") != std::string_view::npos) {
            fail(length_token,
                 command_text() + " length " + quoted(length_token.text) + " is not a whole number");
        }
        if (*length_value > MAX_PATTERN_BITS) {
            fail(length_token, command_text() + " length " + std::string(length_token.text) +
                                   " is above the " + std::to_string(MAX_PATTERN_BITS) + " bits accepted");
        }
        Pattern p;
        p.length = static_cast<std::uint32_t>(*length_value);
        std::array<const Token*, 4> given{}; // TDI, TDO, MASK, SMASK
        static constexpr std::array<std::string_view, 4> NAMES = {"TDI", "TDO", "MASK", "SMASK"};
        for (std::size_t i = 2; i < tokens_.size(); i += 2) {
            const Token& name = tokens_[i];
            std::size_t which = NAMES.size();
            for (std::size_t k = 0; k < NAMES.size(); ++k) {
                if (name.kind == TokenKind::word && equal_ignoring_case(name.text, NAMES[k])) {
                    which = k;
                }
            }
            if (which == NAMES.size()) {
                fail(name,
                     "expected TDI, TDO, MASK or SMASK in " + command_text() + ", found " + describe(name));
            }
            if (given[which] != nullptr) {
                fail(name, std::string(NAMES[which]) + " is given twice");
            }
            if (i + 1 >= tokens_.size() || tokens_[i + 1].kind != TokenKind::value) {
                fail(name, std::string(NAMES[which]) + " needs a hex value in parentheses");
            }
            given[which] = &name;
            Value v = take_value(name, tokens_[i + 1], p.length);
            switch (which) {
            case 0:
                p.tdi = std::move(v);
                break;
            case 1:
                p.tdo = std::move(v);
                break;
            case 2:
                p.mask = std::move(v);
                break;
            default:
                p.smask = std::move(v);
                break;
            }
        }
        // The carry-over: TDI, MASK and SMASK stay while the length does.
        Sticky& sticky = sticky_[kind];
        const bool same_length = p.length == sticky.length;
        if (!p.tdi) {
            if (same_length) {
                p.tdi = sticky.tdi;
            } else if (p.length == 0) {
                p.tdi = std::make_shared<const Bits>();
            } else {
                fail(tokens_[0], command_text() + " " + std::to_string(p.length) +
                                     " changes the length (was " + std::to_string(sticky.length) +
                                     "), so it needs TDI");
            }
        }
        const auto ones = [&](const Value& previous) {
            if (same_length) {
                return previous;
            }
            return Value(std::make_shared<const Bits>(p.length, true));
        };
        if (!p.mask) {
            p.mask = ones(sticky.mask);
        }
        if (!p.smask) {
            p.smask = ones(sticky.smask);
        }
        sticky = Sticky{p.length, p.tdi, p.mask, p.smask};
        return p;
    }

    void scan(Register reg, PatternKind kind)
    {
        Scan s;
        s.reg = reg;
        s.pattern = pattern(kind);
        add(std::move(s));
        state_ = reg == Register::ir ? end_ir_ : end_dr_;
    }

    void padding(Register reg, bool trailer, PatternKind kind) { add(Padding{reg, trailer, pattern(kind)}); }

    // ---- states -----------------------------------------------------------

    TapState state_word(const Token& token, const char* what)
    {
        if (token.kind != TokenKind::word) {
            fail(token, std::string("expected ") + what + ", found " + describe(token));
        }
        const auto state = state_named(token.text);
        if (!state) {
            fail(token, "unknown state " + quoted(token.text));
        }
        return *state;
    }

    TapState stable_word(const Token& token, const char* what)
    {
        const TapState state = state_word(token, what);
        if (!is_stable(state)) {
            fail(token, std::string(STATE_NAMES[static_cast<std::size_t>(state)]) +
                            " is not a stable state (RESET, IDLE, DRPAUSE or IRPAUSE)");
        }
        return state;
    }

    void end_state(Register reg)
    {
        if (tokens_.size() != 2) {
            fail(tokens_.size() < 2 ? tokens_[0] : tokens_[2], command_text() + " takes one stable state");
        }
        const TapState s = stable_word(tokens_[1], "a stable state");
        (reg == Register::ir ? end_ir_ : end_dr_) = s;
        add(EndState{reg, s});
    }

    void state_move()
    {
        if (tokens_.size() < 2) {
            fail(tokens_[0], "STATE needs a stable state");
        }
        StateMove move;
        move.explicit_path = tokens_.size() > 2;
        TapState at = state_;
        for (std::size_t i = 1; i < tokens_.size(); ++i) {
            const bool last = i + 1 == tokens_.size();
            const TapState s =
                last ? stable_word(tokens_[i], "a stable state") : state_word(tokens_[i], "a state");
            // Test-Logic-Reset is reached from anywhere by holding TMS high.
            if (move.explicit_path && s != STATE_RESET && jtag::next_state(at, false) != s &&
                jtag::next_state(at, true) != s) {
                fail(tokens_[i], std::string(STATE_NAMES[static_cast<std::size_t>(s)]) + " does not follow " +
                                     std::string(STATE_NAMES[static_cast<std::size_t>(at)]) +
                                     " in one clock");
            }
            move.path.push_back(s);
            at = s;
        }
        state_ = at;
        add(std::move(move));
    }

    // RUNTEST [run_state] [run_count TCK|SCK] [min_time SEC [MAXIMUM max_time SEC]] [ENDSTATE end_state]
    void run_test()
    {
        RunTest r;
        std::size_t i = 1;
        const auto at_word = [&](std::size_t k) {
            return k < tokens_.size() && tokens_[k].kind == TokenKind::word;
        };
        const auto is_word = [&](std::size_t k, std::string_view w) {
            return at_word(k) && equal_ignoring_case(tokens_[k].text, w);
        };
        const auto need_number = [&](std::size_t k, const char* what) {
            const Token& t = k < tokens_.size() ? tokens_[k] : tokens_.back();
            const auto v = k < tokens_.size() && t.kind == TokenKind::word ? number(t.text) : std::nullopt;
            if (!v) {
                fail(t, std::string("expected ") + what + ", found " +
                            (k < tokens_.size() ? describe(t) : std::string("the end of the statement")));
            }
            return *v;
        };
        if (at_word(i) && state_named(tokens_[i].text)) {
            run_state_ = stable_word(tokens_[i], "a stable state");
            run_end_ = run_state_;
            ++i;
        }
        bool count_given = false;
        if (at_word(i) && number(tokens_[i].text) && (is_word(i + 1, "TCK") || is_word(i + 1, "SCK"))) {
            const double count = need_number(i, "a clock count");
            if (count != std::floor(count)) {
                fail(tokens_[i], "the clock count " + quoted(tokens_[i].text) + " is not a whole number");
            }
            if (count > static_cast<double>(MAX_RUN_COUNT)) {
                fail(tokens_[i], "the clock count " + std::string(tokens_[i].text) + " is above the " +
                                     std::to_string(MAX_RUN_COUNT) + " accepted");
            }
            r.run_count = static_cast<std::uint64_t>(count);
            r.system_clock = is_word(i + 1, "SCK");
            count_given = true;
            i += 2;
        }
        bool time_given = false;
        const auto seconds = [&](std::size_t k, const char* what) {
            const double s = need_number(k, what);
            if (s > MAX_RUN_SECONDS) {
                fail(tokens_[k], "the time " + std::string(tokens_[k].text) + " SEC is above the " +
                                     std::to_string(static_cast<long>(MAX_RUN_SECONDS)) +
                                     " seconds accepted");
            }
            return s;
        };
        if (at_word(i) && number(tokens_[i].text)) {
            r.min_time = seconds(i, "a time in seconds");
            if (!is_word(i + 1, "SEC")) {
                fail(i + 1 < tokens_.size() ? tokens_[i + 1] : tokens_[i],
                     "expected TCK, SCK or SEC after " + quoted(tokens_[i].text));
            }
            time_given = true;
            i += 2;
            if (is_word(i, "MAXIMUM")) {
                const double max_time = seconds(i + 1, "a maximum time in seconds");
                if (!is_word(i + 2, "SEC")) {
                    fail(i + 2 < tokens_.size() ? tokens_[i + 2] : tokens_[i + 1],
                         "expected SEC after the maximum time");
                }
                if (max_time < r.min_time) {
                    fail(tokens_[i + 1], "the maximum time is below the minimum time");
                }
                r.max_time = max_time;
                i += 3;
            }
        }
        if (!count_given && !time_given) {
            fail(i < tokens_.size() ? tokens_[i] : tokens_[0], "RUNTEST needs a clock count or a time");
        }
        if (is_word(i, "ENDSTATE")) {
            if (i + 1 >= tokens_.size()) {
                fail(tokens_[i], "ENDSTATE needs a stable state");
            }
            run_end_ = stable_word(tokens_[i + 1], "a stable state");
            i += 2;
        }
        if (i < tokens_.size()) {
            fail(tokens_[i], "unexpected " + describe(tokens_[i]) + " in RUNTEST");
        }
        r.run_state = run_state_;
        r.end_state = run_end_;
        state_ = run_end_;
        add(r);
    }

    // FREQUENCY [cycles HZ]
    void frequency()
    {
        Frequency f;
        if (tokens_.size() > 1) {
            const auto hz = tokens_[1].kind == TokenKind::word ? number(tokens_[1].text) : std::nullopt;
            if (!hz || *hz <= 0) {
                fail(tokens_[1], "expected a frequency above 0, found " + describe(tokens_[1]));
            }
            if (tokens_.size() < 3 || tokens_[2].kind != TokenKind::word ||
                !equal_ignoring_case(tokens_[2].text, "HZ")) {
                fail(tokens_.size() < 3 ? tokens_[1] : tokens_[2], "expected HZ after the frequency");
            }
            if (tokens_.size() > 3) {
                fail(tokens_[3], "unexpected " + describe(tokens_[3]) + " in FREQUENCY");
            }
            f.hz = *hz;
        }
        add(f);
    }

    // TRST ON|OFF|Z|ABSENT
    void trst()
    {
        if (tokens_.size() != 2 || tokens_[1].kind != TokenKind::word) {
            fail(tokens_.size() < 2 ? tokens_[0] : tokens_[1], "TRST takes ON, OFF, Z or ABSENT");
        }
        static constexpr std::array<std::pair<std::string_view, TrstMode>, 4> MODES = {
            {{"ON", TrstMode::on}, {"OFF", TrstMode::off}, {"Z", TrstMode::z}, {"ABSENT", TrstMode::absent}}};
        std::optional<TrstMode> mode;
        for (const auto& [name, m] : MODES) {
            if (equal_ignoring_case(tokens_[1].text, name)) {
                mode = m;
            }
        }
        if (!mode) {
            fail(tokens_[1], "TRST takes ON, OFF, Z or ABSENT, not " + quoted(tokens_[1].text));
        }
        if (trst_absent_ && *mode != TrstMode::absent) {
            fail(tokens_[0], "TRST " + std::string(tokens_[1].text) + " after TRST ABSENT");
        }
        trst_absent_ = *mode == TrstMode::absent;
        if (*mode == TrstMode::on || trst_held_) {
            state_ = STATE_RESET; // held there until released, and there when released
        }
        trst_held_ = *mode == TrstMode::on || (trst_held_ && *mode == TrstMode::absent);
        add(Trst{*mode});
    }

    Lexer lexer_;
    const StatementSink& each_;
    const StopCheck& stop_;
    bool done_ = false;
    std::uint64_t index_ = 0;
    std::vector<Token> tokens_;
    std::size_t end_offset_ = 0;
    Command command_ = Command::sdr;

    std::array<Sticky, 6> sticky_;
    TapState state_ = STATE_RESET; // playback starts with a TAP reset
    TapState end_ir_ = STATE_IDLE;
    TapState end_dr_ = STATE_IDLE;
    TapState run_state_ = STATE_IDLE;
    TapState run_end_ = STATE_IDLE;
    bool trst_absent_ = false;
    bool trst_held_ = false;
};

void Parser::add(Statement::Variant what)
{
    const Token& word = tokens_[0];
    const Statement statement{
        Origin{command_, word.where, index_++, word.offset - word.text.size(), end_offset_}, std::move(what)};
    if (!each_(statement)) {
        done_ = true;
    }
}

std::string_view as_text(const std::vector<std::uint8_t>& bytes) noexcept
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A checked SVF text, read again as it is played.
class SvfProgram final : public Program {
public:
    SvfProgram(std::vector<std::uint8_t> text, std::uint64_t statements) : text_(std::move(text))
    {
        statements_ = statements;
        bytes_ = text_.size();
    }
    bool each(const StatementSink& each) const override
    {
        bool all = true;
        parse(as_text(text_), [&](const Statement& s) { return all = each(s); });
        return all;
    }

private:
    std::vector<std::uint8_t> text_;
};

} // namespace

void parse(std::string_view text, const StatementSink& each, const StopCheck& stop)
{
    Parser(text, each, stop).run();
}

std::unique_ptr<Program> load(std::string_view text, const StopCheck& stop, const StatementSink& also)
{
    return load(std::vector<std::uint8_t>(text.begin(), text.end()), stop, also);
}

std::unique_ptr<Program> load(std::vector<std::uint8_t> text, const StopCheck& stop,
                              const StatementSink& also)
{
    std::uint64_t statements = 0;
    parse(
        as_text(text),
        [&](const Statement& s) {
            ++statements;
            return !also || also(s);
        },
        stop);
    return std::make_unique<SvfProgram>(std::move(text), statements);
}

} // namespace orv::svf
