"""The same SVF files played three ways must agree on pass or fail: by
`orvtool jtag svf`, by OpenOCD's `svf` through the remote_bitbang bridge and
by openFPGALoader through the XVC bridge, all on the virtual adapter.

Whole-chain files (headers, TRST, FREQUENCY, comments of both kinds) go to
OpenOCD as they are. Files for one device, as FPGA tools write them, go to
openFPGALoader, which puts the other TAP in BYPASS itself, to OpenOCD with
`svf -tap`, and to orvtool with the HIR/HDR that say the same.

openFPGALoader only plays SVF for devices it knows: on a board whose FPGA it
does not know it stops at start-up ("Unknown device"), and its run is skipped.
"""

import os
import re
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = os.path.join(HERE, "files")
sys.path.insert(0, os.path.join(HERE, "..", "bridges"))
from conftest import ORVTOOL, openocd, run, serve  # noqa: E402,F401  (serve is a fixture)

# file, the line of the first failing check (None: passes)
WHOLE_CHAIN = [("chain.svf", None), ("chain_fail.svf", 43), ("plain.svf", None), ("plain_fail.svf", 29)]
ONE_DEVICE = [("zynq_pl.svf", None), ("zynq_pl_fail.svf", 21)]
# The other TAP (the ARM DAP, IR 4, nearest TDO) in BYPASS, on the file's
# first line so that line numbers stay.
DEVICE_PRELUDE = "HIR 4 TDI (F); HDR 1 TDI (0); "


def orvtool_svf(path):
    status, out = run([ORVTOOL, "--sim", "jtag", "svf", path])
    line = re.search(r"TDO mismatch at line (\d+)", out)
    return status, out, int(line.group(1)) if line else None


def openocd_svf(server, *svf_args):
    status, out = openocd(server.ports["remote_bitbang"], "init", "svf " + " ".join(svf_args), "shutdown")
    line = re.search(r"tdo check error at line (\d+)", out)
    passed = status == 0 and "svf file programmed successfully" in out
    return passed, out, int(line.group(1)) if line else None


@pytest.mark.parametrize("name,fail_line", WHOLE_CHAIN)
def test_whole_chain_files_agree_with_openocd(serve, name, fail_line):
    path = os.path.join(FILES, name)
    status, out, line = orvtool_svf(path)
    assert (status == 0) == (fail_line is None), out
    assert line == fail_line, out
    server = serve("--remote-bitbang", "0")
    passed, out, line = openocd_svf(server, path, "quiet")
    assert passed == (fail_line is None), out
    assert line == fail_line, out


@pytest.mark.parametrize("name,fail_line", ONE_DEVICE)
def test_device_files_agree_with_openocd_and_openfpgaloader(serve, tmp_path, name, fail_line):
    path = os.path.join(FILES, name)
    whole = tmp_path / name
    with open(path) as f:
        whole.write_text(DEVICE_PRELUDE + f.read())
    status, out, line = orvtool_svf(str(whole))
    assert (status == 0) == (fail_line is None), out
    assert line == fail_line, out

    server = serve("--remote-bitbang", "0", "--xvc", "0")
    passed, out, line = openocd_svf(server, "-tap", "auto1.tap", path, "quiet")
    assert passed == (fail_line is None), out
    assert line == fail_line, out

    status, out = run(["openFPGALoader", "-c", "xvc-client", "--ip", "127.0.0.1", "--port",
                       str(server.ports["xvc"]), path], timeout=120)
    if "Unknown device" in out:
        pytest.skip("openFPGALoader does not know this board's FPGA: " + out.strip().splitlines()[-1])
    if fail_line is None:
        assert status == 0 and "end of SVF file" in out, out
    else:
        assert status != 0 and "isn't the one expected" in out, out
