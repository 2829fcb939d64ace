"""The layer check over a copy of the tree: clean as it is, and naming the file
and line of an include planted across a layer, upward or sideways."""
import pathlib
import shutil
import subprocess
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CHECK = ROOT / "scripts" / "check-layers"


class CheckLayersTest(unittest.TestCase):
    def setUp(self):
        self.copy = pathlib.Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.copy)
        for folder in ("src", "cli", "app"):
            shutil.copytree(ROOT / folder, self.copy / folder)

    def run_check(self):
        return subprocess.run([CHECK, self.copy], capture_output=True, text=True)

    def plant(self, file, include):
        path = self.copy / file
        lines = path.read_text().splitlines()
        lines.insert(3, f'#include "{include}"')
        path.write_text("\n".join(lines) + "\n")

    def test_the_tree_as_it_is_passes(self):
        result = self.run_check()
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout, "")

    def test_an_include_across_a_layer_is_named_with_its_line(self):
        cases = [
            ("src/store/PendingRecording.h", "pipeline/AudioChunker.h", "store includes pipeline/"),
            ("src/core/Date.cpp", "store/PendingRecording.h", "core includes store/"),
            ("src/api/APIClient.cpp", "model/AppModel.h", "api includes model/"),
            ("src/capture/Recorder.cpp", "api/APIClient.h", "capture includes api/"),
            ("src/pipeline/AudioChunker.cpp", "capture/CaptureFile.h", "pipeline includes capture/"),
            ("src/model/AppModel.cpp", "ui/ContentView.h", "model includes ui/"),
            ("cli/CliRunner.cpp", "ui/TallisenApp.h", "cli includes ui/"),
        ]
        for file, include, complaint in cases:
            with self.subTest(file=file, include=include):
                self.setUp()
                self.plant(file, include)
                result = self.run_check()
                self.assertEqual(result.returncode, 1)
                self.assertIn(f"{file}:4: {complaint}", result.stdout)
                self.assertEqual(len(result.stdout.splitlines()), 1, result.stdout)

    def test_an_include_the_layer_links_passes(self):
        self.plant("src/model/AppModel.cpp", "pipeline/AudioChunker.h")
        self.plant("app/main.cpp", "model/AppModel.h")
        self.assertEqual(self.run_check().returncode, 0)


if __name__ == "__main__":
    unittest.main()
