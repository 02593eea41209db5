"""The C ABI of the device library (``orv_devices.h``) as ctypes sees it: its
result codes, its structures and the prototypes of its functions.

ctypes cannot read the header, so its structures are written out here once
more; tests/python/test_abi.py compares every structure and constant below
with the header, field by field.
"""

from __future__ import annotations

import ctypes
from ctypes import (
    POINTER,
    c_char,
    c_char_p,
    c_double,
    c_int32,
    c_size_t,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)

# ---- enum orvdev_result --------------------------------------------------------

ORVDEV_ERROR_INVALID_ARGUMENT = -100
ORVDEV_ERROR_OUT_OF_RANGE = -101
ORVDEV_ERROR_STOPPED = -102
ORVDEV_ERROR_READBACK_STUCK = -103
ORVDEV_ERROR_MISMATCH = -104
ORVDEV_ERROR_INTERNAL = -105
ORVDEV_ERROR_NO_FLASH = -110
ORVDEV_ERROR_FLASH_UNKNOWN = -111
ORVDEV_ERROR_FLASH_BUSY = -112
ORVDEV_ERROR_FLASH_WRITE_ENABLE = -113
ORVDEV_ERROR_FLASH_PROTECTED = -114
ORVDEV_ERROR_FLASH_LOCKED = -115
ORVDEV_ERROR_FLASH_STATUS_REFUSED = -116
ORVDEV_ERROR_FLASH_NO_ERASE = -117
ORVDEV_ERROR_UNKNOWN_PART = -118
ORVDEV_ERROR_NO_SFDP = -119
ORVDEV_ERROR_CHAIN_SILENT = -130
ORVDEV_ERROR_CHAIN_NO_TAP = -131
ORVDEV_ERROR_CHAIN_BROKEN = -132
ORVDEV_ERROR_I2C_NO_ACK = -140
ORVDEV_ERROR_I2C_DATA_NACK = -141
ORVDEV_ERROR_I2C_WRITE_FAILED = -142
ORVDEV_ERROR_I2C_BUSY = -143
ORVDEV_ERROR_I2C_LINE_HELD = -144
ORVDEV_ERROR_BAD_INPUT = -150
ORVDEV_ERROR_UNKNOWN_PIN = -151
ORVDEV_ERROR_BSDL_MISMATCH = -152
ORVDEV_ERROR_BSCAN_UNSUPPORTED = -153
ORVDEV_ERROR_NO_ADAPTER = -160

# ---- sizes -------------------------------------------------------------------------

ORVDEV_UNIT_MAX = 24
ORVDEV_ACTION_MAX = 24
ORVDEV_COUNTS_MAX = 3
ORVDEV_DONE_MAX = 6
ORVDEV_MESSAGE_MAX = 512
ORVDEV_HINT_MAX = 256
ORVDEV_PATH_MAX = 4096
ORVDEV_JTAG_MAX_DEVICES = 64
ORVDEV_FLASH_ERASE_TYPES_MAX = 8
ORVDEV_NAME_MAX = 64
ORVDEV_I2C_MAX_MESSAGES = 42
ORVDEV_DEFAULT_TIMEOUT_MS = 1000
ORVDEV_I2C_MAX_TIMEOUT_MS = 31
ORVDEV_USB_STRING_MAX = 128
ORVDEV_PORT_PATH_MAX = 40
ORVDEV_NEAREST_MAX = 16
ORVDEV_SVF_DEFAULT_MAX_SIZE = 268435456
ORVDEV_SVF_DEFAULT_MAX_SECONDS = 3600
ORVDEV_SVF_MAX_READBACK = 4096
ORVDEV_SVF_COMMAND_MAX = 16

# ---- the other enums ---------------------------------------------------------------

ORVDEV_LOG_INFO = 0
ORVDEV_LOG_WARNING = 1
ORVDEV_CONTINUE = 0
ORVDEV_STOP = 1
ORVDEV_UNIT_BYTES = 0
ORVDEV_UNIT_BLOCKS = 1
ORVDEV_UNIT_ITEMS = 2
ORVDEV_SOURCE_SFDP = 0
ORVDEV_SOURCE_TABLE = 1
ORVDEV_SOURCE_CAPACITY = 2
ORVDEV_SOURCE_OVERRIDE = 3
ORVDEV_PROBE_AUTO = 0
ORVDEV_PROBE_QUICK_WRITE = 1
ORVDEV_PROBE_READ_BYTE = 2
ORVDEV_PIN_IN = 0
ORVDEV_PIN_OUT = 1
ORVDEV_PIN_INOUT = 2
ORVDEV_PIN_OUT3 = 3
ORVDEV_MATCH_FOUND = 0
ORVDEV_MATCH_NONE = 1
ORVDEV_MATCH_IR_LENGTH = 2
ORVDEV_MATCH_NO_IDCODE = 3
ORVDEV_LEVEL_LOW = 0
ORVDEV_LEVEL_HIGH = 1
ORVDEV_LEVEL_Z = 2
ORVDEV_SHORT_AND = 0
ORVDEV_SHORT_OR = 1
ORVDEV_SHORT_UNKNOWN = 2
ORVDEV_ADAPTER_FOUND = 0
ORVDEV_ADAPTER_NOT_FOUND = 1
ORVDEV_ADAPTER_SEVERAL = 2
ORVDEV_ADAPTER_PERMISSION = 3
ORVDEV_ADAPTER_NO_USBFS = 4
ORVDEV_ADAPTER_BUSY = 5
ORVDEV_ADAPTER_GONE = 6
ORVDEV_ADAPTER_USB_FAILED = 7
ORVDEV_TAP_CHOSEN = 0
ORVDEV_TAP_NO_SUCH = 1
ORVDEV_TAP_NO_FILE = 2
ORVDEV_TAP_NO_PINS = 3
ORVDEV_TAP_NONE_FITS = 4
ORVDEV_TAP_SEVERAL = 5
ORVDEV_PIN_FITS = 0
ORVDEV_PIN_UNKNOWN = 1
ORVDEV_PIN_NO_CELLS = 2
ORVDEV_PIN_INPUT = 3
ORVDEV_PIN_TWO_STATE = 4
ORVDEV_CLOCK_TMS = 1
ORVDEV_CLOCK_TDI = 2
ORVDEV_CLOCK_SAMPLE = 4
ORVDEV_TRST_ON = 0
ORVDEV_TRST_OFF = 1
ORVDEV_TRST_Z = 2
ORVDEV_SVF_FORMAT_SVF = 0
ORVDEV_SVF_FORMAT_XSVF = 1


# ---- structures ----------------------------------------------------------------------


class Count(ctypes.Structure):
    _fields_ = [
        ("unit", c_char * ORVDEV_UNIT_MAX),
        ("done", c_uint64),
        ("total", c_uint64),
        ("has_total", c_int32),
    ]


class Done(ctypes.Structure):
    _fields_ = [
        ("action", c_char * ORVDEV_ACTION_MAX),
        ("counts", Count * ORVDEV_COUNTS_MAX),
        ("count_count", c_uint32),
        ("from_", c_uint64),
        ("has_from", c_int32),
        ("stopped_at", c_uint64),
        ("has_stopped_at", c_int32),
        ("address_digits", c_int32),
    ]


class Report(ctypes.Structure):
    _fields_ = [
        ("code", c_int32),
        ("bus_code", c_int32),
        ("message", c_char * ORVDEV_MESSAGE_MAX),
        ("hint", c_char * ORVDEV_HINT_MAX),
        ("detail", c_char * ORVDEV_MESSAGE_MAX),
        ("byte_index", c_int32),
        ("done", Done * ORVDEV_DONE_MAX),
        ("done_count", c_uint32),
        ("recovery_file", c_char * ORVDEV_PATH_MAX),
        ("message_index", c_int32),
    ]


LOG_FN = ctypes.CFUNCTYPE(None, c_void_p, c_int32, c_char_p)
PROGRESS_FN = ctypes.CFUNCTYPE(c_int32, c_void_p, c_char_p, c_uint64, c_uint64, c_int32)
SVF_STOP_FN = ctypes.CFUNCTYPE(c_int32, c_void_p)
SVF_PROGRESS_FN = ctypes.CFUNCTYPE(c_int32, c_void_p, c_uint64, c_uint64)


class AdapterInfo(ctypes.Structure):
    _fields_ = [
        ("vid", c_uint16),
        ("pid", c_uint16),
        ("bus", c_uint8),
        ("address", c_uint8),
        ("port_path", c_char * ORVDEV_PORT_PATH_MAX),
        ("serial", c_char * ORVDEV_USB_STRING_MAX),
        ("product", c_char * ORVDEV_USB_STRING_MAX),
        ("open_error", c_int32),
    ]


class AdapterSelector(ctypes.Structure):
    _fields_ = [
        ("vid", c_int32),
        ("pid", c_int32),
        ("bus", c_int32),
        ("address", c_int32),
        ("serial", c_char_p),
    ]


class NoAdapter(ctypes.Structure):
    _fields_ = [
        ("cause", c_int32),
        ("usb_code", c_int32),
        ("matches", c_uint32),
        ("adapter", AdapterInfo),
        ("device_dir", c_int32),
        ("udev_rule", c_char * ORVDEV_PATH_MAX),
    ]


class SessionOptions(ctypes.Structure):
    _fields_ = [("timeout_ms", c_uint32), ("log", LOG_FN), ("log_user", c_void_p)]


class Clock(ctypes.Structure):
    _fields_ = [
        ("actual_hz", c_uint32),
        ("divisor", c_uint32),
        ("request_khz", c_uint32),
        ("raised", c_int32),
    ]


class JtagPortOptions(ctypes.Structure):
    _fields_ = [("tck_khz", c_uint32), ("direction", c_uint16), ("level", c_uint16), ("max_readback", c_uint32)]


class JtagPortStats(ctypes.Structure):
    _fields_ = [
        ("runs", c_uint64),
        ("clocks", c_uint64),
        ("out_transfers", c_uint64),
        ("stream_bytes", c_uint64),
        ("exchanges", c_uint64),
        ("readback_bytes", c_uint64),
    ]


class SpiPortOptions(ctypes.Structure):
    _fields_ = [("clock_khz", c_uint32), ("mode", c_uint32), ("lsb_first", c_int32), ("cs_active_high", c_int32)]


class JtagOptions(ctypes.Structure):
    _fields_ = [("tck_khz", c_uint32), ("direction", c_uint16), ("level", c_uint16)]


class Tap(ctypes.Structure):
    _fields_ = [
        ("has_idcode", c_int32),
        ("idcode", c_uint32),
        ("manufacturer", c_uint16),
        ("jep106_bank", c_uint32),
        ("jep106_id", c_uint8),
        ("part", c_uint16),
        ("version", c_uint8),
        ("vendor", c_char_p),
        ("ir_length_known", c_int32),
        ("ir_length", c_uint32),
    ]


class Chain(ctypes.Structure):
    _fields_ = [("count", c_uint32), ("ir_total", c_uint32), ("taps", Tap * ORVDEV_JTAG_MAX_DEVICES)]


class FlashOptions(ctypes.Structure):
    _fields_ = [("clock_khz", c_uint32), ("part", c_char_p), ("size", c_uint64)]


class EraseType(ctypes.Structure):
    _fields_ = [
        ("size", c_uint32),
        ("opcode", c_uint8),
        ("opcode_4byte", c_uint8),
        ("typical_us", c_uint32),
        ("max_us", c_uint32),
    ]


class FlashInfo(ctypes.Structure):
    _fields_ = [
        ("jedec_id", c_uint8 * 3),
        ("jep106_bank", c_uint32),
        ("vendor", c_char_p),
        ("maker", c_char_p),
        ("part", c_char * ORVDEV_NAME_MAX),
        ("source", c_int32),
        ("size", c_uint64),
        ("capacity_size", c_uint64),
        ("page_size", c_uint32),
        ("erase_types", EraseType * ORVDEV_FLASH_ERASE_TYPES_MAX),
        ("erase_type_count", c_uint32),
        ("chip_erase_opcode", c_uint8),
        ("page_program_us", c_uint32),
        ("page_program_max_us", c_uint32),
        ("chip_erase_us", c_uint64),
        ("chip_erase_max_us", c_uint64),
        ("fast_read", c_int32),
        ("four_byte", c_int32),
        ("clock", Clock),
    ]


class EraseCount(ctypes.Structure):
    _fields_ = [("size", c_uint32), ("count", c_uint64)]


class WriteReport(ctypes.Structure):
    _fields_ = [
        ("addr", c_uint64),
        ("len", c_uint64),
        ("unchanged_bytes", c_uint64),
        ("chip_erased", c_int32),
        ("erased", EraseCount * ORVDEV_FLASH_ERASE_TYPES_MAX),
        ("erased_count", c_uint32),
        ("pages_programmed", c_uint64),
        ("verify", c_int32),
        ("verified_bytes", c_uint64),
        ("erases_planned", c_uint64),
        ("pages_planned", c_uint64),
        ("range_addr", c_uint64),
        ("range_len", c_uint64),
    ]


class WriteOptions(ctypes.Structure):
    _fields_ = [("verify", c_int32), ("backup_file", c_char_p), ("recovery_dir", c_char_p)]


class Mismatch(ctypes.Structure):
    _fields_ = [("addr", c_uint64), ("expected", c_uint8), ("found", c_uint8), ("count", c_uint64)]


class EraseReport(ctypes.Structure):
    _fields_ = [
        ("chip_erased", c_int32),
        ("erased", EraseCount * ORVDEV_FLASH_ERASE_TYPES_MAX),
        ("erased_count", c_uint32),
        ("checked_bytes", c_uint64),
    ]


class FlashStatus(ctypes.Structure):
    _fields_ = [
        ("status1", c_uint8),
        ("status2", c_uint8),
        ("status3", c_uint8),
        ("busy", c_int32),
        ("write_enabled", c_int32),
        ("bp", c_uint32),
        ("tb", c_int32),
        ("sec", c_int32),
        ("srp", c_int32),
        ("cmp", c_int32),
        ("protected_from", c_uint64),
        ("protected_to", c_uint64),
    ]


class LayoutRegion(ctypes.Structure):
    _fields_ = [
        ("name", c_char_p),
        ("start", c_uint64),
        ("end", c_uint64),
        ("line", c_uint32),
        ("included", c_int32),
    ]


class LayoutResult(ctypes.Structure):
    _fields_ = [("regions", c_uint32), ("spans", c_uint32), ("bytes", c_uint64)]


class I2cOptions(ctypes.Structure):
    _fields_ = [("clock_khz", c_uint32), ("ten_bit", c_int32)]


class I2cMessage(ctypes.Structure):
    _fields_ = [("addr", c_uint32), ("read", c_int32), ("len", c_uint32), ("buf", POINTER(c_uint8))]


class InputError(ctypes.Structure):
    _fields_ = [
        ("file", c_char * ORVDEV_PATH_MAX),
        ("line", c_uint32),
        ("column", c_uint32),
        ("path", c_char * ORVDEV_MESSAGE_MAX),
        ("reason", c_char * ORVDEV_MESSAGE_MAX),
    ]


class BsdlInfo(ctypes.Structure):
    _fields_ = [
        ("path", c_char_p),
        ("entity", c_char_p),
        ("standard", c_char_p),
        ("instruction_length", c_uint32),
        ("boundary_length", c_uint32),
        ("has_idcode", c_int32),
        ("idcode", c_uint32),
        ("idcode_care", c_uint32),
        ("pin_count", c_uint32),
        ("instruction_count", c_uint32),
        ("notice_count", c_uint32),
    ]


class BsdlNotice(ctypes.Structure):
    _fields_ = [("line", c_uint32), ("column", c_uint32), ("text", c_char_p)]


class BscanPin(ctypes.Structure):
    _fields_ = [
        ("port", c_char_p),
        ("package_pin", c_char_p),
        ("direction", c_int32),
        ("value", c_int32),
        ("driven", c_int32),
    ]


class BsdlMatch(ctypes.Structure):
    _fields_ = [("status", c_int32), ("file", c_int32)]


class TapChoice(ctypes.Structure):
    _fields_ = [
        ("status", c_int32),
        ("tap", c_uint32),
        ("match", BsdlMatch),
        ("why", c_char * ORVDEV_MESSAGE_MAX),
        ("candidates", c_uint32 * ORVDEV_JTAG_MAX_DEVICES),
        ("candidate_count", c_uint32),
    ]


class SpiPins(ctypes.Structure):
    _fields_ = [("cs", c_char_p), ("sck", c_char_p), ("mosi", c_char_p), ("miso", c_char_p), ("mode", c_int32)]


class I2cPins(ctypes.Structure):
    _fields_ = [("scl", c_char_p), ("sda", c_char_p), ("stretch", c_int32)]


class PinSetting(ctypes.Structure):
    _fields_ = [("pin", c_char_p), ("level", c_int32)]


class ConnectOpen(ctypes.Structure):
    _fields_ = [("net", c_char_p), ("pin", c_char_p), ("or_pin", c_char_p)]


class ConnectShort(ctypes.Structure):
    _fields_ = [("nets", POINTER(c_char_p)), ("net_count", c_uint32), ("behaves_as", c_int32)]


class ConnectStuck(ctypes.Structure):
    _fields_ = [("net", c_char_p), ("value", c_int32)]


class ConnectUntested(ctypes.Structure):
    _fields_ = [("net", c_char_p), ("why", c_char_p)]


class ConnectResult(ctypes.Structure):
    _fields_ = [
        ("passed", c_int32),
        ("patterns", c_uint32),
        ("nets_tested", c_uint32),
        ("opens", POINTER(ConnectOpen)),
        ("open_count", c_uint32),
        ("shorts", POINTER(ConnectShort)),
        ("short_count", c_uint32),
        ("stuck", POINTER(ConnectStuck)),
        ("stuck_count", c_uint32),
        ("untested", POINTER(ConnectUntested)),
        ("untested_count", c_uint32),
        ("scans", c_uint32),
        ("out_transfers", c_uint32),
        ("readback_exchanges", c_uint32),
        ("readback_bytes", c_uint64),
    ]


# ---- functions -------------------------------------------------------------------------

session_t = c_void_p


class SvfLoadOptions(ctypes.Structure):
    _fields_ = [
        ("format", c_int32),
        ("max_size", c_uint64),
        ("max_seconds", c_double),
        ("tck_khz", c_uint32),
        ("stop", SVF_STOP_FN),
        ("stop_user", c_void_p),
    ]


class SvfPlace(ctypes.Structure):
    _fields_ = [
        ("known", c_int32),
        ("index", c_uint64),
        ("line", c_uint32),
        ("column", c_uint32),
        ("offset", c_uint64),
        ("command", c_char * ORVDEV_SVF_COMMAND_MAX),
    ]


class SvfInputError(ctypes.Structure):
    _fields_ = [
        ("line", c_uint32),
        ("column", c_uint32),
        ("offset", c_uint64),
        ("command", c_uint64),
        ("reason", c_char * ORVDEV_MESSAGE_MAX),
    ]


class SvfInfo(ctypes.Structure):
    _fields_ = [
        ("format", c_int32),
        ("statements", c_uint64),
        ("bytes", c_uint64),
        ("estimated_clocks", c_uint64),
        ("estimated_wait_seconds", c_double),
        ("estimated_seconds", c_double),
    ]


class SvfPlayOptions(ctypes.Structure):
    _fields_ = [
        ("tck_khz", c_uint32),
        ("max_readback", c_uint32),
        ("progress", SVF_PROGRESS_FN),
        ("progress_user", c_void_p),
        ("stop", SVF_STOP_FN),
        ("stop_user", c_void_p),
    ]


class SvfSummary(ctypes.Structure):
    _fields_ = [
        ("statements", c_uint64),
        ("scan_bits", c_uint64),
        ("checks", c_uint64),
        ("statements_played", c_uint64),
        ("checks_passed", c_uint64),
        ("repeats", c_uint64),
        ("clocks", c_uint64),
        ("out_transfers", c_uint64),
        ("stream_bytes", c_uint64),
        ("exchanges", c_uint64),
        ("readback_bytes", c_uint64),
        ("host_waits", c_uint64),
        ("wait_seconds", c_double),
        ("seconds", c_double),
        ("tck_khz_asked", c_uint32),
        ("tck_hz", c_uint64),
        ("tck_raised", c_int32),
        ("frequencies_raised", c_uint64),
        ("first_raised", SvfPlace),
        ("first_raised_hz", c_double),
        ("slowest_hz", c_uint64),
        ("first_unknown", SvfPlace),
        ("last_checked", SvfPlace),
    ]


class SvfScanPart(ctypes.Structure):
    _fields_ = [
        ("command", c_char * ORVDEV_SVF_COMMAND_MAX),
        ("bits", c_uint32),
        ("expected", POINTER(c_uint8)),
        ("actual", POINTER(c_uint8)),
        ("mask", POINTER(c_uint8)),
        ("differing", c_uint32),
    ]


class SvfMismatch(ctypes.Structure):
    _fields_ = [
        ("statement", SvfPlace),
        ("header", SvfScanPart),
        ("body", SvfScanPart),
        ("trailer", SvfScanPart),
        ("statements_played", c_uint64),
        ("checks_passed", c_uint64),
    ]


handle_t = c_void_p  # orvdev_jtag *, orvdev_jtag_port *, orvdev_flash *, orvdev_i2c *, orvdev_bscan *, ...
buffer_t = c_void_p
report_p = POINTER(Report)

PROTOTYPES = {
    "orvdev_strerror": (c_char_p, [c_int32]),
    "orvdev_hint": (c_char_p, [c_int32]),
    "orvdev_adapter_selector_init": (None, [POINTER(AdapterSelector)]),
    "orvdev_adapter_list": (
        c_int32,
        [POINTER(AdapterSelector), POINTER(AdapterInfo), c_uint32, POINTER(c_uint32), POINTER(NoAdapter), report_p],
    ),
    "orvdev_adapter_open": (c_int32, [POINTER(AdapterSelector), POINTER(handle_t), POINTER(NoAdapter), report_p]),
    "orvdev_adapter_handle": (c_void_p, [handle_t]),
    "orvdev_adapter_get_info": (None, [handle_t, POINTER(AdapterInfo)]),
    "orvdev_adapter_close": (None, [handle_t]),
    "orvdev_session_options_init": (None, [POINTER(SessionOptions)]),
    "orvdev_session_open": (c_int32, [c_void_p, POINTER(SessionOptions), POINTER(session_t), report_p]),
    "orvdev_session_close": (None, [session_t]),
    "orvdev_session_set_progress": (None, [session_t, PROGRESS_FN, c_void_p]),
    "orvdev_session_claim": (c_int32, [session_t, report_p]),
    "orvdev_session_recover": (None, [session_t]),
    "orvdev_session_set_serial": (None, [session_t, c_char_p]),
    "orvdev_clock_for_khz": (Clock, [c_uint32]),
    "orvdev_clock_period_ns": (c_uint32, [Clock]),
    "orvdev_jtag_port_options_init": (None, [POINTER(JtagPortOptions)]),
    "orvdev_jtag_port_open": (c_int32, [session_t, POINTER(JtagPortOptions), POINTER(handle_t), report_p]),
    "orvdev_jtag_port_close": (None, [handle_t]),
    "orvdev_jtag_clocks": (c_int32, [handle_t, buffer_t, c_size_t, buffer_t, c_size_t, report_p]),
    "orvdev_jtag_port_set_tck": (c_int32, [handle_t, c_uint64, POINTER(Clock), report_p]),
    "orvdev_jtag_port_set_pins": (c_int32, [handle_t, c_uint16, c_uint16, report_p]),
    "orvdev_jtag_port_set_trst": (c_int32, [handle_t, c_int32, report_p]),
    "orvdev_jtag_port_claim": (c_int32, [handle_t, report_p]),
    "orvdev_jtag_port_get_stats": (None, [handle_t, POINTER(JtagPortStats)]),
    "orvdev_spi_port_options_init": (None, [POINTER(SpiPortOptions)]),
    "orvdev_spi_port_open": (c_int32, [session_t, POINTER(SpiPortOptions), POINTER(handle_t), report_p]),
    "orvdev_spi_port_close": (None, [handle_t]),
    "orvdev_spi_transfer": (c_int32, [handle_t, buffer_t, c_size_t, buffer_t, c_size_t, report_p]),
    "orvdev_spi_port_set_clock": (c_int32, [handle_t, c_uint64, POINTER(Clock), report_p]),
    "orvdev_spi_port_claim": (c_int32, [handle_t, report_p]),
    "orvdev_spi_port_transfers": (c_uint64, [handle_t]),
    "orvdev_jtag_options_init": (None, [POINTER(JtagOptions)]),
    "orvdev_jtag_open": (c_int32, [session_t, POINTER(JtagOptions), POINTER(handle_t), report_p]),
    "orvdev_jtag_close": (None, [handle_t]),
    "orvdev_chain_scan": (c_int32, [handle_t, POINTER(Chain), report_p]),
    "orvdev_flash_options_init": (None, [POINTER(FlashOptions)]),
    "orvdev_flash_open": (c_int32, [session_t, POINTER(FlashOptions), POINTER(handle_t), report_p]),
    "orvdev_flash_close": (None, [handle_t]),
    "orvdev_flash_get_info": (None, [handle_t, POINTER(FlashInfo)]),
    "orvdev_flash_four_byte_name": (c_char_p, [c_int32]),
    "orvdev_flash_part_name": (c_char_p, [c_size_t]),
    "orvdev_flash_read": (c_int32, [handle_t, c_uint64, buffer_t, c_uint64, report_p]),
    "orvdev_write_options_init": (None, [POINTER(WriteOptions)]),
    "orvdev_flash_write": (
        c_int32,
        [handle_t, c_uint64, buffer_t, c_uint64, POINTER(WriteOptions), POINTER(WriteReport), report_p],
    ),
    "orvdev_flash_verify": (c_int32, [handle_t, c_uint64, buffer_t, c_uint64, POINTER(Mismatch), report_p]),
    "orvdev_flash_erase": (c_int32, [handle_t, c_uint64, c_uint64, c_int32, POINTER(EraseReport), report_p]),
    "orvdev_flash_read_status": (c_int32, [handle_t, POINTER(FlashStatus), report_p]),
    "orvdev_flash_unprotect": (c_int32, [handle_t, POINTER(c_uint8), POINTER(c_uint8), report_p]),
    "orvdev_flash_status_decode": (None, [c_uint8, c_uint8, c_uint8, c_uint64, POINTER(FlashStatus)]),
    "orvdev_layout_parse": (
        c_int32,
        [c_char_p, c_size_t, c_char_p, POINTER(handle_t), POINTER(InputError), report_p],
    ),
    "orvdev_layout_load": (c_int32, [c_char_p, POINTER(handle_t), POINTER(InputError), report_p]),
    "orvdev_layout_free": (None, [handle_t]),
    "orvdev_layout_region_count": (c_uint32, [handle_t]),
    "orvdev_layout_get_region": (c_int32, [handle_t, c_uint32, POINTER(LayoutRegion)]),
    "orvdev_layout_include": (c_int32, [handle_t, c_char_p, report_p]),
    "orvdev_layout_read": (
        c_int32,
        [handle_t, handle_t, c_uint64, buffer_t, c_uint64, POINTER(LayoutResult), report_p],
    ),
    "orvdev_layout_write": (
        c_int32,
        [
            handle_t,
            handle_t,
            c_uint64,
            buffer_t,
            c_uint64,
            POINTER(WriteOptions),
            POINTER(WriteReport),
            POINTER(LayoutResult),
            report_p,
        ],
    ),
    "orvdev_layout_verify": (
        c_int32,
        [handle_t, handle_t, c_uint64, buffer_t, c_uint64, POINTER(Mismatch), POINTER(LayoutResult), report_p],
    ),
    "orvdev_i2c_options_init": (None, [POINTER(I2cOptions)]),
    "orvdev_i2c_open": (c_int32, [session_t, POINTER(I2cOptions), POINTER(handle_t), report_p]),
    "orvdev_i2c_close": (None, [handle_t]),
    "orvdev_i2c_clock": (Clock, [handle_t]),
    "orvdev_i2c_probe": (c_int32, [handle_t, c_uint32, c_int32, POINTER(c_int32), report_p]),
    "orvdev_i2c_detect": (c_int32, [handle_t, c_uint32, c_uint32, c_int32, buffer_t, report_p]),
    "orvdev_i2c_write": (c_int32, [handle_t, c_uint32, buffer_t, c_uint32, report_p]),
    "orvdev_i2c_read": (c_int32, [handle_t, c_uint32, buffer_t, c_uint32, report_p]),
    "orvdev_i2c_read_reg": (c_int32, [handle_t, c_uint32, c_uint32, c_int32, buffer_t, c_uint32, report_p]),
    "orvdev_i2c_write_reg": (c_int32, [handle_t, c_uint32, c_uint32, c_int32, buffer_t, c_uint32, report_p]),
    "orvdev_i2c_eeprom_write": (
        c_int32,
        [handle_t, c_uint32, c_uint32, c_int32, c_uint32, buffer_t, c_uint32, c_uint32, report_p],
    ),
    "orvdev_i2c_transfer": (c_int32, [handle_t, POINTER(I2cMessage), c_uint32, report_p]),
    "orvdev_bsdl_load": (c_int32, [c_char_p, POINTER(handle_t), POINTER(InputError), report_p]),
    "orvdev_bsdl_free": (None, [handle_t]),
    "orvdev_bsdl_get_info": (None, [handle_t, POINTER(BsdlInfo)]),
    "orvdev_bsdl_instruction": (c_char_p, [handle_t, c_uint32, POINTER(c_int32)]),
    "orvdev_bsdl_get_notice": (c_int32, [handle_t, c_uint32, POINTER(BsdlNotice)]),
    "orvdev_bsdl_get_pin": (c_int32, [handle_t, c_uint32, POINTER(BscanPin)]),
    "orvdev_bsdl_match_chain": (
        c_int32,
        [POINTER(Chain), POINTER(handle_t), c_uint32, POINTER(BsdlMatch), report_p],
    ),
    "orvdev_bsdl_files_load": (
        c_int32,
        [POINTER(c_char_p), c_uint32, c_int32, POINTER(handle_t), POINTER(InputError), report_p],
    ),
    "orvdev_bsdl_files_count": (c_uint32, [handle_t]),
    "orvdev_bsdl_files_get": (c_void_p, [handle_t, c_uint32]),
    "orvdev_bsdl_files_free": (None, [handle_t]),
    "orvdev_bsdl_choose_tap": (
        c_int32,
        [
            POINTER(Chain),
            POINTER(handle_t),
            c_uint32,
            c_int32,
            c_char_p,
            POINTER(c_char_p),
            c_uint32,
            POINTER(TapChoice),
            report_p,
        ],
    ),
    "orvdev_bscan_open": (
        c_int32,
        [handle_t, POINTER(Chain), POINTER(handle_t), POINTER(handle_t), report_p],
    ),
    "orvdev_bscan_close": (None, [handle_t]),
    "orvdev_bscan_sample": (c_int32, [handle_t, c_uint32, POINTER(BscanPin), c_uint32, report_p]),
    "orvdev_bscan_drive": (
        c_int32,
        [handle_t, c_uint32, POINTER(PinSetting), c_uint32, c_int32, POINTER(BscanPin), c_uint32, report_p],
    ),
    "orvdev_bscan_release": (c_int32, [handle_t, report_p]),
    "orvdev_flash_open_bscan": (
        c_int32,
        [handle_t, c_uint32, POINTER(SpiPins), POINTER(FlashOptions), POINTER(handle_t), report_p],
    ),
    "orvdev_i2c_open_bscan": (
        c_int32,
        [handle_t, c_uint32, POINTER(I2cPins), POINTER(I2cOptions), POINTER(handle_t), report_p],
    ),
    "orvdev_netlist_load": (
        c_int32,
        [c_char_p, POINTER(handle_t), c_uint32, POINTER(handle_t), POINTER(InputError), report_p],
    ),
    "orvdev_netlist_free": (None, [handle_t]),
    "orvdev_netlist_taps": (c_int32, [handle_t, POINTER(Chain), POINTER(handle_t), report_p]),
    "orvdev_connect_test": (c_int32, [handle_t, handle_t, POINTER(POINTER(ConnectResult)), report_p]),
    "orvdev_connect_result_free": (None, [POINTER(ConnectResult)]),
    "orvdev_svf_load_options_init": (None, [POINTER(SvfLoadOptions)]),
    "orvdev_svf_load": (
        c_int32,
        [
            buffer_t,
            c_size_t,
            POINTER(SvfLoadOptions),
            POINTER(handle_t),
            POINTER(SvfInfo),
            POINTER(SvfInputError),
            report_p,
        ],
    ),
    "orvdev_svf_free": (None, [handle_t]),
    "orvdev_svf_get_info": (None, [handle_t, POINTER(SvfInfo)]),
    "orvdev_svf_play_options_init": (None, [POINTER(SvfPlayOptions)]),
    "orvdev_svf_dry_run": (c_int32, [handle_t, POINTER(SvfPlayOptions), POINTER(SvfSummary), report_p]),
    "orvdev_svf_play": (
        c_int32,
        [handle_t, handle_t, POINTER(SvfPlayOptions), POINTER(SvfSummary), report_p],
    ),
    "orvdev_svf_get_mismatch": (c_int32, [handle_t, POINTER(SvfMismatch)]),
}
