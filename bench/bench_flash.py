#!/usr/bin/env python3
"""Writing a 4 MiB SPI flash: orvtool spi write against flashrom through the
serprog bridge (orvtool serve), side by side in one run, on the virtual
adapter with a board whose flash takes real time to program (0.7 ms a page)
and to erase (45 ms a block), as data sheets give.

Three cases, each from the same starting flash for both tools (the board's
image, copied afresh for every run and saved back when the process ends, so
the result is checked too):
  one sector   the flash holds image A; write A with one 4 KiB sector changed
  identical    the flash holds A; write A
  erased       the flash is erased; write A
and the reference for the first: a plain read of the whole flash plus the
write of the one changed sector alone (its erase and its 16 page programs).

  python3 bench/bench_flash.py ORVTOOL OUT.json [WORKDIR]

Writes a JSON file for bench/report.py. About 15 minutes.
"""

import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

FLASH_SIZE = 4 * 1024 * 1024
SECTOR = 4096
CHANGED_SECTOR = 0x1F3000
PROGRAM_US = 700
ERASE_US = 45000
LISTENING = re.compile(r"^listening: serprog on (\S+):(\d+)$")
TIMEOUT = 1800


def board(work, name, image):
    """A board file with the timed W25Q32-like flash; its image (copied for
    this run) is saved back when the process ends."""
    run_dir = os.path.join(work, name)
    os.makedirs(run_dir, exist_ok=True)
    flash = {"jedec_id": "ef4016", "size": FLASH_SIZE, "page_size": 256,
             "erase": {"0x20": 4096, "0x52": 32768, "0xd8": 65536}, "sfdp": True,
             "program_us": PROGRAM_US, "erase_us": ERASE_US, "image": "flash.bin", "persist": True}
    image_path = os.path.join(run_dir, "flash.bin")
    if image is None:
        if os.path.exists(image_path):
            os.remove(image_path)
    else:
        shutil.copyfile(image, image_path)
    path = os.path.join(run_dir, "board.json")
    with open(path, "w") as f:
        json.dump({"description": "bench: timed W25Q32-like flash", "spi_flash": flash}, f)
    return path, image_path


def flash_content(image_path):
    with open(image_path, "rb") as f:
        data = f.read()
    return data + b"\xff" * (FLASH_SIZE - len(data))


def timed(command):
    start = time.monotonic()
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=TIMEOUT)
    seconds = time.monotonic() - start
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({done.returncode}):\n{done.stdout}")
    return seconds, done.stdout


def orvtool_write(orvtool, work, name, start_image, file):
    path, image_path = board(work, name, start_image)
    seconds, out = timed([orvtool, "--sim", "--board", path, "--json", "spi", "write", "0", file])
    return {"seconds": seconds, "report": json.loads(out)}, flash_content(image_path)


def flashrom_write(orvtool, work, name, start_image, file):
    path, image_path = board(work, name, start_image)
    server = subprocess.Popen([orvtool, "--sim", "--board", path, "serve", "--serprog", "127.0.0.1:0"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    port = None
    while port is None:
        line = server.stdout.readline()
        if not line:
            raise RuntimeError("orvtool serve ended: " + server.stderr.read())
        m = LISTENING.match(line.strip())
        if m:
            port = int(m.group(2))
    try:
        seconds, out = timed(["flashrom", "-p", f"serprog:ip=127.0.0.1:{port}", "-c", "W25Q32.V", "-w", file])
    finally:
        server.send_signal(signal.SIGTERM)
        server.communicate(timeout=120)
    # flashrom verifies what it wrote; an image identical to the chip is
    # neither written nor verified. The flash is compared afterwards anyway.
    assert "VERIFIED" in out or "Chip content is identical" in out, out
    return {"seconds": seconds}, flash_content(image_path)


def main():
    orvtool, out_path = sys.argv[1:3]
    work = sys.argv[3] if len(sys.argv) > 3 else tempfile.mkdtemp(prefix="orv_bench_flash_")
    rng = random.Random(15)
    image_a = bytes(rng.getrandbits(8) for _ in range(FLASH_SIZE))
    image_b = bytearray(image_a)
    image_b[CHANGED_SECTOR:CHANGED_SECTOR + SECTOR] = bytes(rng.getrandbits(8) for _ in range(SECTOR))
    files = {}
    for name, data in (("a", image_a), ("b", bytes(image_b)), ("sector", bytes(image_b[CHANGED_SECTOR:CHANGED_SECTOR + SECTOR]))):
        files[name] = os.path.join(work, f"{name}.bin")
        with open(files[name], "wb") as f:
            f.write(data)

    cases = [("one_sector", files["a"], files["b"], bytes(image_b)),
             ("identical", files["a"], files["a"], image_a),
             ("erased", None, files["a"], image_a)]
    results = {"program_us": PROGRAM_US, "erase_us": ERASE_US, "cases": {}}
    for name, start, file, wanted in cases:
        print(f"== {name}", flush=True)
        orv, orv_flash = orvtool_write(orvtool, work, f"orvtool_{name}", start, file)
        assert orv_flash == wanted, f"orvtool left the wrong content ({name})"
        print(f"   orvtool  {orv['seconds']:.1f} s", flush=True)
        fr, fr_flash = flashrom_write(orvtool, work, f"flashrom_{name}", start, file)
        assert fr_flash == wanted, f"flashrom left the wrong content ({name})"
        print(f"   flashrom {fr['seconds']:.1f} s", flush=True)
        results["cases"][name] = {"orvtool": orv, "flashrom": fr}

    # The reference: a plain full read, and the changed sector written alone.
    path, _ = board(work, "reference_read", files["a"])
    read_seconds, _ = timed([orvtool, "--sim", "--board", path, "spi", "read", "0", str(FLASH_SIZE), "-o",
                             os.path.join(work, "read.bin")])
    path, image_path = board(work, "reference_sector", files["a"])
    sector_seconds, out = timed([orvtool, "--sim", "--board", path, "--json", "spi", "write", hex(CHANGED_SECTOR),
                                 files["sector"]])
    assert flash_content(image_path) == bytes(image_b)
    results["reference"] = {"read_seconds": read_seconds, "sector_write_seconds": sector_seconds,
                            "sector_write": json.loads(out)}
    print(f"== reference: read {read_seconds:.1f} s + one sector {sector_seconds:.1f} s", flush=True)
    with open(out_path, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
