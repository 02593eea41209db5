#include "front/orvtool/bsdl_command.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "front/orvtool/device_library.hpp"
#include "front/orvtool/errors.hpp"

namespace orvtool {

namespace {

const char* const DIRECTIONS[] = {"in", "out", "inout", "out3"};

// A cell number, or "-".
std::string cell_text(std::int32_t cell)
{
    return cell < 0 ? "-" : std::to_string(cell);
}

Value cell_value(std::int32_t cell)
{
    return cell < 0 ? Value() : Value(cell);
}

// An empty text is null in JSON.
Value text_value(const char* text)
{
    return text[0] == '\0' ? Value() : Value(text);
}

Table instruction_table(const orvdev_bsdl* file)
{
    Table table{{{"INSTRUCTION", 14, 1}, {"OPCODES"}}, {}};
    std::int32_t is_private = 0;
    for (std::uint32_t i = 0; const char* name = orvdev_bsdl_instruction(file, i, &is_private); ++i) {
        Value::List opcodes;
        std::string text;
        for (std::uint32_t k = 0; const char* opcode = orvdev_bsdl_opcode(file, i, k); ++k) {
            opcodes.emplace_back(opcode);
            text += (k == 0 ? "" : ", ") + std::string(opcode);
        }
        table.rows.push_back({Value::object({{"name", name},
                                             {"opcodes", Value::list(std::move(opcodes))},
                                             {"private", is_private != 0}}),
                              {name, text + (is_private != 0 ? "  (private)" : "")}});
    }
    return table;
}

Table pin_table(const orvdev_bsdl* file, std::uint32_t count)
{
    Table table{
        {{"PORT", 12, 1}, {"PIN", 4, 1}, {"DIR", 5, 2}, {"INPUT", 5, 2}, {"OUTPUT", 6, 2}, {"CONTROL"}}, {}};
    for (std::uint32_t i = 0; i < count; ++i) {
        orvdev_bscan_pin pin{};
        orvdev_bsdl_cells cells{};
        orvdev_bsdl_get_pin(file, i, &pin);
        orvdev_bsdl_get_cells(file, i, &cells);
        const std::string control =
            cells.control < 0 ? "-"
            : cells.control == cells.output
                ? std::to_string(cells.control) + " (open drain, lets go at " +
                      std::to_string(cells.disable) + ")"
                : std::to_string(cells.control) + " (lets go at " + std::to_string(cells.disable) + ")";
        table.rows.push_back(
            {Value::object({{"port", pin.port},
                            {"pin", text_value(pin.package_pin)},
                            {"direction", DIRECTIONS[pin.direction]},
                            {"input", cell_value(cells.input)},
                            {"output", cell_value(cells.output)},
                            {"control", cell_value(cells.control)},
                            {"disable", cells.control < 0 ? Value() : Value(cells.disable)}}),
             {pin.port, pin.package_pin[0] == '\0' ? "-" : pin.package_pin, DIRECTIONS[pin.direction],
              cell_text(cells.input), cell_text(cells.output), control}});
    }
    return table;
}

// orvtool bsdl FILE
Result cmd_bsdl(const orvdev_bsdl* file)
{
    orvdev_bsdl_info info{};
    orvdev_bsdl_details details{};
    orvdev_bsdl_get_info(file, &info);
    orvdev_bsdl_get_details(file, &details);
    Result r;
    r.field("file", info.path).field("entity", info.entity);
    r.line(std::string(info.entity) + " (" + info.path + ")");
    r.labelled("standard", text_value(info.standard), "standard:",
               info.standard[0] == '\0' ? "not named (no use clause of STD_1149_1)" : info.standard);
    r.field("conformance", text_value(details.conformance));
    r.labelled("pin_map", text_value(details.pin_map),
               "package:", details.pin_map[0] == '\0' ? "none (no package pins)" : details.pin_map);
    r.field("instruction_length", info.instruction_length);
    r.labelled("instruction_capture", text_value(details.instruction_capture), "instruction register:",
               count_text(info.instruction_length, "bit") +
                   (details.instruction_capture[0] == '\0'
                        ? std::string(", capture not given")
                        : ", captures " + std::string(details.instruction_capture)));
    const bool id = info.has_idcode != 0;
    r.field("idcode", id ? Value(info.idcode) : Value());
    r.field("idcode_hex", id ? Value(hex(info.idcode, 8)) : Value());
    r.field("idcode_mask", id ? Value(info.idcode_care) : Value());
    r.labelled("idcode_mask_hex", id ? Value(hex(info.idcode_care, 8)) : Value(), "IDCODE:",
               id ? hex(info.idcode, 8) + ", mask " + hex(info.idcode_care, 8) +
                        (info.idcode_care == 0xFFFFFFFF ? "" : " (bits of the mask's 0s are X: any value)")
                  : "none (no IDCODE_REGISTER)");
    r.labelled("boundary_length", info.boundary_length,
               "boundary register:", count_text(info.boundary_length, "cell"));
    r.line("");
    r.table("instructions", instruction_table(file));
    r.line("");
    r.field("ports", details.port_count);
    r.line(count_text(info.pin_count, "pin") + " with boundary cells (cell 0 is nearest TDO):");
    r.table("pins", pin_table(file, info.pin_count));
    Value::List notices;
    std::string lines;
    orvdev_bsdl_notice n{};
    for (std::uint32_t i = 0; orvdev_bsdl_get_notice(file, i, &n) == 0; ++i) {
        notices.push_back(Value::object({{"line", n.line}, {"column", n.column}, {"text", n.text}}));
        lines += "  line " + std::to_string(n.line) + ":" + std::to_string(n.column) + ": " + n.text + "\n";
    }
    r.field("notices", Value::list(std::move(notices)));
    if (!lines.empty()) {
        r.line("").line("notices (what the reader skipped or took as it stands):").text(lines);
    }
    return r;
}

} // namespace

void register_bsdl(CLI::App& app, Chosen& chosen)
{
    auto path = std::make_shared<std::string>();
    auto* bsdl = app.add_subcommand(
        "bsdl",
        "what a BSDL file says of its device: instructions, IDCODE, pins and their cells (no adapter)");
    bsdl->add_option("FILE", *path, "the BSDL file")->required();
    on_chosen(
        bsdl, chosen,
        [path] {
            if (std::error_code error; std::filesystem::is_directory(*path, error)) {
                usage_error(*path + " is a directory",
                            "give one BSDL file (orvtool jtag bsdl takes directories)");
            }
            orvdev_bsdl* loaded = nullptr;
            orvdev_report report{};
            if (orvdev_bsdl_load(path->c_str(), &loaded, nullptr, &report) != 0) {
                usage_error(report.message);
            }
            auto file = std::shared_ptr<orvdev_bsdl>(loaded, DeviceCloser{});
            return Action([file](const Context&) { return cmd_bsdl(file.get()); });
        },
        false);
}

} // namespace orvtool
