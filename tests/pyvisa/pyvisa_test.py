"""A bench script's session with the stand-in VISA library through PyVISA:
the dialogue of a staged download, as the simulated instrument answers it.

Usage: pyvisa_test.py LIBVISA_SO
"""
import os
import random
import sys
import tempfile
import unittest
import warnings
import zlib

import pyvisa
from pyvisa import constants, errors

LIBRARY = sys.argv.pop(1)
RAM = 8388608


class PyvisaSession(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="kesvisa-pyvisa-")
        cls.trace = os.path.join(cls.dir.name, "trace.txt")
        config = os.path.join(cls.dir.name, "visa.conf")
        with open(config, "w") as f:
            f.write(
                f"trace = {cls.trace}\ntimeout_scale = 0.001\n"
                f"[GPIB0::17::INSTR]\nstate = {cls.dir.name}/bench.state\nmode = 2\nrestart_ms = 0\n"
                "[GPIB1::5::INSTR]\n"
            )
        os.environ["KESVISA_CONFIG"] = config
        cls.rm = pyvisa.ResourceManager(LIBRARY)

    @classmethod
    def tearDownClass(cls):
        cls.rm.close()
        cls.dir.cleanup()

    def open(self, name="GPIB0::17::INSTR"):
        return self.rm.open_resource(name, read_termination="\n", write_termination="\n")

    def test_list_resources(self):
        self.assertEqual(self.rm.list_resources(), ("GPIB0::17::INSTR", "GPIB1::5::INSTR"))
        self.assertEqual(self.rm.list_resources("GPIB[1-9]::?*"), ("GPIB1::5::INSTR", "GPIB1::INTFC"))
        self.assertEqual(self.rm.list_resources("?*::18::INSTR"), ())
        info = self.rm.resource_info("GPIB::17")
        self.assertEqual((info.interface_type, info.interface_board_number), (constants.InterfaceType.gpib, 0))
        self.assertEqual((info.resource_class, info.resource_name), ("INSTR", "GPIB0::17::INSTR"))
        interfaces = self.rm.list_resources_info("?*INTFC")
        self.assertEqual([(name, info.resource_class, info.interface_board_number)
                          for name, info in interfaces.items()],
                         [("GPIB0::INTFC", "INTFC", 0), ("GPIB1::INTFC", "INTFC", 1)])

    def test_every_name_form_opens_the_instrument(self):
        for name in ("GPIB0::17::INSTR", "GPIB::17::INSTR", "GPIB0::17::0::INSTR", "GPIB0::17", "GPIB::17",
                     "GPIB0::17::0"):
            with self.subTest(name=name):
                inst = self.open(name)
                self.assertEqual(inst.query("XXCMD?"), "2")
                inst.close()
        with self.assertRaises(errors.VisaIOError) as caught:
            self.open("GPIB0::18::INSTR")
        self.assertEqual(caught.exception.error_code, constants.StatusCode.error_resource_not_found)

    def test_staged_block_and_its_crc(self):
        with self.open() as inst:
            inst.timeout = 5000
            inst.write("XXENTER 6081")
            inst.write(f"XXFILL {RAM},2097152,255")
            self.assertEqual(inst.query("*OPC?"), "1")
            data = random.Random(7).randbytes(70000)
            self.assertTrue(b"\n" in data)  # a line feed in raw data ends nothing: END does
            inst.write(f"XXDLDATA {RAM},{len(data)}")
            inst.write_raw(data)
            self.assertEqual(int(inst.query(f"XXCRC? {RAM},{len(data)}")), zlib.crc32(data))
            # The fill is still there past the block.
            self.assertEqual(inst.query(f"XXRDMEM? {RAM + len(data)},4"), str(0xFFFFFFFF))

    def test_timeout_send_end_clear_and_raw_reads(self):
        inst = self.open()
        self.assertEqual(inst.timeout, 2000)
        inst.timeout = None
        self.assertEqual(inst.timeout, float("+inf"))
        inst.timeout = 3000
        self.assertEqual(inst.timeout, 3000)
        self.assertTrue(inst.send_end)

        inst.send_end = False  # a message without END is not complete: no reply
        self.assertFalse(inst.send_end)
        inst.write("XXCMD?")
        with self.assertRaises(errors.VisaIOError) as caught:
            inst.read()
        self.assertEqual(caught.exception.error_code, constants.StatusCode.error_timeout)
        inst.clear()  # drops the half message
        inst.send_end = True
        self.assertEqual(inst.query("XXCMD?"), "2")

        inst.write("XXCMD?")
        self.assertEqual(inst.read_raw(), b"2\n")
        inst.write("XXCMD?")
        self.assertEqual(inst.read_bytes(1), b"2")
        self.assertEqual(inst.read_bytes(1), b"\n")
        inst.close()
        with self.assertRaises(errors.InvalidSession):
            inst.query("XXCMD?")

    def test_statuses_of_the_library(self):
        with warnings.catch_warnings(record=True):
            warnings.simplefilter("always")
            self.assertEqual(self.rm.visalib.close(0), constants.StatusCode.warning_null_object)
        desc, status = self.rm.visalib.status_description(self.rm.session, constants.StatusCode.error_timeout)
        self.assertEqual(status, constants.StatusCode.success)
        self.assertTrue(desc.startswith("VI_ERROR_TMO"), desc)

    def test_trace_lines_carry_this_process(self):
        self.rm.list_resources()
        with open(self.trace) as f:
            lines = f.read().splitlines()
        self.assertTrue(lines)
        mark = f"{os.getpid()} "
        self.assertEqual([line for line in lines if not line.startswith(mark)], [])


if __name__ == "__main__":
    unittest.main()
