"""Modbus ASCII slave (unit 1) on a serial device, for conformance tests.

Usage: ascii_slave.py DEVICE
Prints "ready" once the device is open, then serves until terminated.
Data: coil i = i % 3 == 0, discrete input i = i % 2 == 1,
holding register i = 0x1000 + i, input register i = 0x2000 + i (i = 0..99).
Device identification: vendor "peer vendor", product code "PEER-1", revision "9.9".
"""
import asyncio
import logging
import sys

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.device import ModbusDeviceIdentification
from pymodbus.framer.ascii_framer import ModbusAsciiFramer
from pymodbus.server.async_io import ModbusSerialServer

N = 100


async def main(device):
    store = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [i % 3 == 0 for i in range(N)]),
        di=ModbusSequentialDataBlock(0, [i % 2 == 1 for i in range(N)]),
        hr=ModbusSequentialDataBlock(0, [0x1000 + i for i in range(N)]),
        ir=ModbusSequentialDataBlock(0, [0x2000 + i for i in range(N)]),
        zero_mode=True)
    context = ModbusServerContext(slaves={1: store}, single=False)
    identity = ModbusDeviceIdentification(info_name={
        "VendorName": "peer vendor", "ProductCode": "PEER-1", "MajorMinorRevision": "9.9"})
    server = ModbusSerialServer(context, ModbusAsciiFramer, port=device, baudrate=115200,
                                ignore_missing_slaves=True, identity=identity)
    await server.start()
    if server.transport is None:
        print("failed to open " + device, flush=True)
        return 1
    print("ready", flush=True)
    await server.serve_forever()
    return 0


if __name__ == "__main__":
    # The peer answers through its output lines only; its log would be noise.
    logging.getLogger().setLevel(logging.CRITICAL + 1)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL + 1)
    sys.exit(asyncio.run(main(sys.argv[1])))
