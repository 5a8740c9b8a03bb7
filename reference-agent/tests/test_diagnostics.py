import io
import json
import time
import unittest
import zipfile

from tests.harness import PATIENCE, AgentRun
from vantrel_agent.readings import SERIAL

IDLE = {"running": False, "fraction": 0, "message": "", "error": "", "name": ""}


def follow(agent, timeout=PATIENCE):
    """Polls progress until the run is over; returns every document seen, the last one being the end."""
    seen = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        seen.append(agent.get_json("/api/diagnostics/progress"))
        if not seen[-1]["running"]:
            return seen
        time.sleep(0.05)
    raise AssertionError(f"the run did not end: {seen[-1]}")


class DiagnosticsTest(unittest.TestCase):
    def test_run_produces_a_redacted_zip(self):
        with AgentRun() as agent:
            agent.wait_listening()
            self.assertEqual(agent.get_json("/api/diagnostics/progress"), IDLE)
            self.assertEqual(agent.request("GET", "/api/diagnostics/download")[::2], (404, b""))
            agent.request("POST", "/pair", {"code": "SECRET42"})
            agent.wait_for(rb"^pv=")

            self.assertEqual(agent.get_json("/api/diagnostics/start"), {"started": True})
            self.assertEqual(agent.get_json("/api/diagnostics/start"), {"started": False})
            seen = follow(agent)
            fractions = [doc["fraction"] for doc in seen[:-1]]
            self.assertEqual(fractions, sorted(fractions))
            self.assertTrue(all(doc["message"] for doc in seen[:-1]))
            last = seen[-1]
            self.assertEqual((last["error"], last["fraction"]), ("", 1))
            self.assertRegex(last["name"], r"^vantrel-diagnostics-\d{8}-\d{6}\.zip$")

            status, headers, body = agent.request("GET", "/api/diagnostics/download")
            self.assertEqual((status, headers["content-type"]), (200, "application/zip"))
            self.assertTrue(zipfile.is_zipfile(io.BytesIO(body)))
            with zipfile.ZipFile(io.BytesIO(body)) as archive:
                self.assertEqual(sorted(archive.namelist()), ["agent-log.txt", "readings.csv", "summary.json"])
                contents = {name: archive.read(name).decode() for name in archive.namelist()}
            self.assertIn("Waiting to be paired\n", contents["agent-log.txt"])
            self.assertIn("paired with code [removed]", contents["agent-log.txt"])
            for text in contents.values():
                self.assertNotIn("SECRET42", text)
                self.assertNotIn(SERIAL, text)
            summary = json.loads(contents["summary.json"])
            self.assertTrue(summary["paired"])
            self.assertEqual(len(contents["readings.csv"].splitlines()), summary["readings"] + 1)

    def test_injected_failures_end_the_run_as_asked(self):
        error = "the inverter stopped answering"
        cases = [({"VANTREL_SIM_DIAG_ERROR": error}, error, False, 404),
                 ({"VANTREL_SIM_DIAG_EMPTY": "1"}, "", True, 200)]
        for knobs, expected_error, named, download_status in cases:
            with self.subTest(knobs=knobs), AgentRun(**knobs) as agent:
                agent.wait_listening()
                agent.get_json("/api/diagnostics/start")
                last = follow(agent)[-1]
                self.assertEqual((last["error"], bool(last["name"])), (expected_error, named))
                self.assertEqual(agent.request("GET", "/api/diagnostics/download")[::2], (download_status, b""))

    def test_malformed_progress_alternates_with_real_documents(self):
        with AgentRun(VANTREL_SIM_DIAG_MALFORMED="1") as agent:
            agent.wait_listening()
            bodies = [agent.request("GET", "/api/diagnostics/progress")[2] for _ in range(4)]
            with self.assertRaises(ValueError):
                json.loads(bodies[0])
            self.assertIsInstance(json.loads(bodies[2]), list)
            self.assertEqual([json.loads(bodies[1]), json.loads(bodies[3])], [IDLE, IDLE])

