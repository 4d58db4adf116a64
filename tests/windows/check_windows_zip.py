"""Reads the archives that tst_windows_zip wrote under Windows with Python's zipfile."""
import os
import sys
import unittest
import zipfile

FOLDER = os.environ.get("GLB_WINDOWS_ZIP_OUT_HOST", "")


def sample_data():
    # The same bytes as sampleData() in tst_windows_zip.cpp.
    data = bytearray()
    state = 12345
    for i in range(300000):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        data.append(ord("a") + i % 26 if i % 3000 < 1500 else state >> 24)
    return bytes(data)


class WindowsArchives(unittest.TestCase):
    def open(self, name):
        path = os.path.join(FOLDER, name)
        self.assertTrue(os.path.isfile(path), path)
        return zipfile.ZipFile(path)

    def test_entries_names_times_and_data(self):
        with self.open("windows.zip") as archive:
            self.assertIsNone(archive.testzip())
            infos = archive.infolist()
            self.assertEqual([i.filename for i in infos], ["Relatório.txt", "vazio.txt", "dados.bin"])
            for info in infos:
                self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED, info.filename)
                self.assertEqual(info.flag_bits, 0x0800, info.filename)
            self.assertEqual(archive.read("Relatório.txt"), "relatório da fazenda\r\n".encode())
            self.assertEqual(infos[0].date_time, (2021, 3, 4, 10, 15, 36))
            self.assertEqual(archive.read("vazio.txt"), b"")
            self.assertEqual(infos[1].compress_size, 2)
            self.assertEqual(infos[1].date_time, (1980, 0, 0, 0, 0, 0))
            self.assertEqual(archive.read("dados.bin"), sample_data())

    def test_held_file_left_out(self):
        with self.open("windows-held.zip") as archive:
            self.assertIsNone(archive.testzip())
            self.assertEqual(archive.namelist(), ["aberto.db"])
            self.assertEqual(archive.read("aberto.db"), b"primeiro")


if __name__ == "__main__":
    if not FOLDER:
        sys.exit("GLB_WINDOWS_ZIP_OUT_HOST is not set")
    unittest.main()
