"""The run report of real conversions against docs/run-report.schema.json."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

BINARY_DIR = os.path.abspath(os.environ.get("TARSEL_BINARY_DIR", "."))
SCHEMA = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "run-report.schema.json")

try:
    import jsonschema
except ImportError:
    jsonschema = None


@unittest.skipIf(jsonschema is None, "python3-jsonschema is not installed")
class RunReportSchema(unittest.TestCase):
    def report(self, *arguments):
        with tempfile.TemporaryDirectory() as folder:
            subprocess.run([os.path.join(BINARY_DIR, "tarsel-synth"), "--batches", "5", "--quiet"],
                           cwd=folder, check=True)
            subprocess.run([os.path.join(BINARY_DIR, "tarsel"), "_19-05-17-10-30-00_1.rec",
                            "/report=run.json", *arguments], cwd=folder,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(os.path.join(folder, "run.json")) as f:
                return json.load(f)

    def test_reports_follow_the_schema(self):
        with open(SCHEMA) as f:
            schema = json.load(f)
        for arguments in ([], ["/o=no-such-folder/x.out"], ["/analyze"]):
            with self.subTest(arguments=arguments):
                jsonschema.validate(self.report(*arguments), schema)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
