"""The package's two copies of C facts, checked against their one home:
the device library's ABI as ctypes declares it (orv/_devices.py) against
lib/include/orv_devices.h, and the command endpoint (orv/adapter.py) against
lib/wire/wire.hpp; and the adapters it lists against orvtool's, which both
take from the device library."""

import ctypes
import json
import os
import re
import subprocess

import pytest

import orv
from orv import _devices as abi
from orv import adapter as adapter_module

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
HEADER = os.path.join(SOURCE, "lib", "include", "orv_devices.h")
WIRE = os.path.join(SOURCE, "lib", "wire", "wire.hpp")


def header_text():
    with open(HEADER) as f:
        text = f.read()
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def camel(c_name):
    return "".join(word.capitalize() for word in c_name[len("orvdev_"):].split("_"))


# The header's opaque types: ctypes passes them as void pointers.
OPAQUE = r"orvdev_(session|jtag|jtag_port|spi_port|flash|i2c|bsdl|bsdl_files|bscan|netlist|adapter|layout|svf)"


def expected_types(c_type):
    """The ctypes types a C type may be declared as."""
    c_type = " ".join(c_type.replace("*", " * ").replace("const", "").split())
    scalars = {"uint8_t": ctypes.c_uint8, "uint16_t": ctypes.c_uint16, "uint32_t": ctypes.c_uint32,
               "uint64_t": ctypes.c_uint64, "int32_t": ctypes.c_int32, "size_t": ctypes.c_size_t,
               "char": ctypes.c_char, "double": ctypes.c_double}
    if c_type in scalars:
        return {scalars[c_type]}
    if c_type == "char *":
        return {ctypes.c_char_p}
    functions = {"orvdev_log_fn": abi.LOG_FN, "orvdev_progress_fn": abi.PROGRESS_FN,
                 "orvdev_svf_stop_fn": abi.SVF_STOP_FN, "orvdev_svf_progress_fn": abi.SVF_PROGRESS_FN}
    if c_type in functions:
        return {functions[c_type]}
    if c_type == "void":
        return {None}
    if c_type in ("void *", "uint8_t *", "libusb_device_handle *") or re.fullmatch(rf"{OPAQUE} \*", c_type):
        return {ctypes.c_void_p} | ({ctypes.POINTER(ctypes.c_uint8)} if c_type == "uint8_t *" else set())
    if re.fullmatch(rf"{OPAQUE} \* \*", c_type):
        return {ctypes.POINTER(ctypes.c_void_p)}
    if c_type.endswith(" *"):
        return {ctypes.POINTER(t) for t in expected_types(c_type[:-2])}
    if c_type.startswith("orvdev_"):
        return {getattr(abi, camel(c_type))}
    raise AssertionError(f"no ctypes type known for {c_type!r}")


def struct_fields(body):
    fields = []
    for declaration in filter(None, (d.strip() for d in body.split(";"))):
        m = re.fullmatch(r"(.+?)\s*\b(\w+)(?:\[(\w+)\])?", declaration, re.S)
        c_type, name, length = m.groups()
        fields.append((name, c_type, length))
    return fields


def test_every_structure_ctypes_declares_matches_the_header_field_by_field():
    text = header_text()
    found = re.findall(r"typedef struct \w+ \{(.*?)\} (\w+);", text, re.S)
    structs = {name: body for body, name in found}
    mirrored = [name for name in structs if hasattr(abi, camel(name))]
    assert len(mirrored) >= 19, mirrored
    for name in mirrored:
        declared = getattr(abi, camel(name))._fields_
        fields = struct_fields(structs[name])
        assert [n.rstrip("_") for n, _ in declared] == [n for n, _, _ in fields], name
        for (py_name, py_type), (c_name, c_type, length) in zip(declared, fields):
            if length is not None:
                assert py_type._length_ == getattr(abi, length, None) or py_type._length_ == int(length, 0)
                py_type = py_type._type_
            assert py_type in expected_types(c_type), f"{name}.{c_name}: {py_type} for {c_type}"


def test_every_constant_matches_the_header_and_every_result_code_is_known():
    text = header_text()
    defines = re.findall(r"#define (ORVDEV_\w+) (-?\w+)", text)
    values = {name: int(value.rstrip("u"), 0) for name, value in defines}
    values.update({name: int(value) for name, value in re.findall(r"\b(ORVDEV_\w+) = (-?\d+)", text)})
    ours = {name: getattr(abi, name) for name in dir(abi) if name.startswith("ORVDEV_")}
    assert {name: values.get(name) for name in ours} == ours
    assert {name for name in values if name.startswith("ORVDEV_ERROR_")} <= set(ours)


def test_every_prototype_matches_the_header():
    text = header_text()
    functions = re.findall(r"ORV_API ([\w\s*]+?)\s*\b(orvdev_\w+)\((.*?)\);", text, re.S)
    declared = {name: (ret, args) for ret, name, args in functions}
    for name, (restype, argtypes) in abi.PROTOTYPES.items():
        c_ret, c_args = declared[name]
        assert restype in expected_types(c_ret), name
        params = [re.sub(r"\s*\b\w+$", "", p.strip()) for p in c_args.split(",")] if c_args.strip() else []
        assert len(params) == len(argtypes), name
        for i, (c_type, py_type) in enumerate(zip(params, argtypes)):
            assert py_type in expected_types(c_type), f"{name} argument {i}: {py_type} for {c_type}"


def test_the_endpoints_are_those_of_the_wire_facts():
    with open(WIRE) as f:
        wire = dict(re.findall(r"constexpr unsigned char (EP_\w+) = (0x[0-9a-fA-F]+);", f.read()))
    assert int(wire["EP_COMMAND_OUT"], 16) == adapter_module.EP_COMMAND_OUT


def test_orvtool_and_the_package_see_the_same_adapters():
    orvtool = os.environ.get("ORVTOOL")
    if not orvtool:
        pytest.skip("ORVTOOL not set (orvtool not built)")
    done = subprocess.run([orvtool, "--json", "list"], check=True, capture_output=True, text=True)
    listed = json.loads(done.stdout)
    theirs = [(a["vid"], a["pid"], a["bus"], a["address"], a["serial"], a["product"], a["port_path"])
              for a in listed["adapters"]]
    ours = [(i.vid, i.pid, i.bus, i.address, i.serial, i.product, i.port_path) for i in orv.list()]
    assert ours == theirs and len(ours) == 4
