"""Modbus ASCII master on a serial device, driven line by line, for
conformance tests.

Usage: ascii_master.py DEVICE
Prints "ready" once connected, then answers each command line on stdin with
one line: "ok [values...]", "exc CODE" (exception answer) or "err TEXT".
Commands (numbers in decimal):
  rc UNIT ADDR COUNT      read coils            -> ok b0 b1 ...
  ri UNIT ADDR COUNT      read discrete inputs  -> ok b0 b1 ...
  rh UNIT ADDR COUNT      read holding regs     -> ok v0 v1 ...
  rir UNIT ADDR COUNT     read input regs       -> ok v0 v1 ...
  wc UNIT ADDR 0|1        write single coil
  wr UNIT ADDR VALUE      write single register
  wcs UNIT ADDR b0 b1...  write multiple coils
  wrs UNIT ADDR v0 v1...  write multiple registers
"""
import logging
import sys

from pymodbus.client import ModbusSerialClient
from pymodbus.framer.ascii_framer import ModbusAsciiFramer


def run(client, words):
    op, unit, addr = words[0], int(words[1]), int(words[2])
    rest = [int(w) for w in words[3:]]
    if op == "rc":
        r = client.read_coils(addr, rest[0], slave=unit)
    elif op == "ri":
        r = client.read_discrete_inputs(addr, rest[0], slave=unit)
    elif op == "rh":
        r = client.read_holding_registers(addr, rest[0], slave=unit)
    elif op == "rir":
        r = client.read_input_registers(addr, rest[0], slave=unit)
    elif op == "wc":
        r = client.write_coil(addr, bool(rest[0]), slave=unit)
    elif op == "wr":
        r = client.write_register(addr, rest[0], slave=unit)
    elif op == "wcs":
        r = client.write_coils(addr, [bool(b) for b in rest], slave=unit)
    elif op == "wrs":
        r = client.write_registers(addr, rest, slave=unit)
    else:
        return "err unknown command"
    if r is None:
        return "err no response"
    if r.isError():
        code = getattr(r, "exception_code", None)
        return "exc %d" % code if code is not None else "err " + str(r).replace("\n", " ")
    if op in ("rc", "ri"):
        return "ok " + " ".join("1" if b else "0" for b in r.bits[:rest[0]])
    if op in ("rh", "rir"):
        return "ok " + " ".join(str(v) for v in r.registers)
    return "ok"


def main(device):
    client = ModbusSerialClient(port=device, framer=ModbusAsciiFramer, baudrate=115200,
                                timeout=1, retries=0)
    if not client.connect():
        print("failed to open " + device, flush=True)
        return 1
    print("ready", flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        try:
            out = run(client, words)
        except Exception as exc:  # every failure becomes one answer line
            out = "err " + str(exc).replace("\n", " ")
        print(out, flush=True)
    client.close()
    return 0


if __name__ == "__main__":
    # The peer answers through its output lines only; its log would be noise.
    logging.getLogger().setLevel(logging.CRITICAL + 1)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL + 1)
    sys.exit(main(sys.argv[1]))
