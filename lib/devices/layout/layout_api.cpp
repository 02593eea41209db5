// The C functions of flashrom's layouts: reading one, choosing its regions,
// and the flash's read, write and verify over them.
#include <cstring>
#include <memory>
#include <string>

#include "lib/hostfile/host_file.hpp"

#include "lib/devices/bscan/input_reading.hpp"
#include "lib/devices/flash/flash_handle.hpp"
#include "lib/devices/layout/flash_layout.hpp"

using namespace orv::dev;
using orv::dev::layout::Covered;
using orv::dev::layout::FlashLayout;

struct orvdev_layout {
    FlashLayout layout;
};

namespace {

// The layout `text` holds; a refusal is a BadInput with its place.
orvdev_layout* read_layout(std::string_view text, const std::string& name)
{
    orv::layout::ParseResult r = orv::layout::parse(text, name);
    if (!r.ok()) {
        throw bscan::BadInput(r.error.file, r.error.line, r.error.column, {}, r.error.reason);
    }
    return new orvdev_layout{FlashLayout(std::move(*r.layout))};
}

void to_c(const Covered& c, orvdev_layout_result* out)
{
    if (out != nullptr) {
        *out = orvdev_layout_result{c.regions, c.spans, c.bytes};
    }
}

void clear(orvdev_layout_result* covered)
{
    if (covered != nullptr) {
        std::memset(covered, 0, sizeof *covered);
    }
}

} // namespace

extern "C" {

int32_t orvdev_layout_load(const char* path, orvdev_layout** out, orvdev_input_error* where,
                           orvdev_report* report)
{
    if (path == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no path, or nowhere to put the layout");
    }
    return bscan::reading(where, report, [&] {
        std::vector<std::uint8_t> bytes;
        try {
            bytes = orv::hostfile::read_file(path, orv::layout::MAX_FILE_BYTES);
        } catch (const orv::hostfile::FileError& e) {
            throw bscan::BadInput(path, 0, 0, {},
                                  std::string("expected a readable layout file: ") + e.what());
        }
        *out = read_layout(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), path);
    });
}

int32_t orvdev_layout_parse(const char* text, size_t len, const char* name, orvdev_layout** out,
                            orvdev_input_error* where, orvdev_report* report)
{
    if (name == nullptr || out == nullptr || (text == nullptr && len != 0)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no text, name, or nowhere to put the layout");
    }
    return bscan::reading(
        where, report, [&] { *out = read_layout(std::string_view(text == nullptr ? "" : text, len), name); });
}

void orvdev_layout_free(orvdev_layout* layout)
{
    delete layout;
}

uint32_t orvdev_layout_region_count(const orvdev_layout* layout)
{
    return layout == nullptr ? 0 : static_cast<std::uint32_t>(layout->layout.layout().regions.size());
}

int32_t orvdev_layout_get_region(const orvdev_layout* layout, uint32_t index, orvdev_layout_region* region)
{
    if (layout == nullptr || region == nullptr || index >= orvdev_layout_region_count(layout)) {
        return ORVDEV_ERROR_INVALID_ARGUMENT;
    }
    const orv::layout::Region& r = layout->layout.layout().regions[index];
    *region =
        orvdev_layout_region{r.name.c_str(), r.start, r.end, r.line, layout->layout.included(index) ? 1 : 0};
    return 0;
}

int32_t orvdev_layout_include(orvdev_layout* layout, const char* name, orvdev_report* report)
{
    if (layout == nullptr || name == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no layout or region name");
    }
    return guarded(nullptr, report, [&] { layout->layout.include(name); });
}

int32_t orvdev_layout_read(orvdev_flash* flash, const orvdev_layout* layout, uint64_t addr, uint8_t* buf,
                           uint64_t len, orvdev_layout_result* covered, orvdev_report* report)
{
    clear(covered);
    if (flash == nullptr || layout == nullptr || buf == nullptr || len == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no flash handle, layout or buffer, or no length");
    }
    return guarded(&flash->flash.session(), report, [&] {
        flash::check_range(flash->flash, addr, len);
        to_c(layout::read(flash->flash, layout->layout, addr, std::span(buf, static_cast<std::size_t>(len))),
             covered);
    });
}

int32_t orvdev_layout_write(orvdev_flash* flash, const orvdev_layout* layout, uint64_t addr,
                            const uint8_t* data, uint64_t len, const orvdev_write_options* options,
                            orvdev_write_report* result, orvdev_layout_result* covered, orvdev_report* report)
{
    clear(covered);
    if (result != nullptr) {
        std::memset(result, 0, sizeof *result);
    }
    if (flash == nullptr || layout == nullptr || data == nullptr || len == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle, layout or data to write");
    }
    const flash::WriteOptions o = flash::write_options_from_c(options);
    flash::WriteReport r;
    Covered c;
    const std::int32_t rc = guarded(&flash->flash.session(), report, [&] {
        flash::check_range(flash->flash, addr, len);
        c = layout::write(flash->flash, layout->layout, addr, std::span(data, static_cast<std::size_t>(len)),
                          o, r);
    });
    flash::write_report_to_c(r, result);
    if (rc == 0) {
        to_c(c, covered);
    }
    return rc;
}

int32_t orvdev_layout_verify(orvdev_flash* flash, const orvdev_layout* layout, uint64_t addr,
                             const uint8_t* data, uint64_t len, orvdev_mismatch* mismatch,
                             orvdev_layout_result* covered, orvdev_report* report)
{
    clear(covered);
    if (mismatch != nullptr) {
        std::memset(mismatch, 0, sizeof *mismatch);
    }
    if (flash == nullptr || layout == nullptr || data == nullptr || len == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle, layout or data to compare");
    }
    return guarded(&flash->flash.session(), report, [&] {
        flash::check_range(flash->flash, addr, len);
        std::optional<flash::Mismatch> m;
        to_c(layout::verify(flash->flash, layout->layout, addr,
                            std::span(data, static_cast<std::size_t>(len)), m),
             covered);
        if (m) {
            flash::throw_mismatch(*m, mismatch);
        }
    });
}

} // extern "C"
