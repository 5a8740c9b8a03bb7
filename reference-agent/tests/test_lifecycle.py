import json
import os
import re
import signal
import socket
import tempfile
import time
import unittest

from tests.harness import PATIENCE, AgentRun


def read_json(path):
    with open(path, encoding="utf-8") as file:
        return json.load(file)


STATUS = rb"^pv=\d+\.\d\dkW grid=-?\d+\.\d{3}kW$"


class PairingTest(unittest.TestCase):
    def test_pairing_switches_to_status_lines_and_survives_a_restart(self):
        with tempfile.TemporaryDirectory() as folder:
            with AgentRun(folder) as agent:
                agent.wait_for(rb"^Waiting to be paired\n(.*\n)*Waiting to be paired$")
                agent.wait_listening()
                status, headers, _ = agent.request("POST", "/pair", {"code": "  "})
                self.assertEqual((status, headers["location"]), (303, "/"))
                self.assertFalse(os.path.exists(agent.state_path))

                mark = len(agent.output)
                status, headers, _ = agent.request("POST", "/pair", {"code": "SECRET42"})
                self.assertEqual((status, headers["location"]), (303, "/"))
                agent.wait_for(STATUS, start=mark)
                self.assertEqual(read_json(agent.state_path)["code"], "SECRET42")
                self.assertEqual(agent.terminate(), 0)
                agent.wait_closed(PATIENCE)
                self.assertTrue(agent.output.endswith(b"SIGTERM received, stopping\nvantrel-agent: goodbye\n"))

            with AgentRun(folder) as agent:
                first = agent.wait_for(STATUS + rb"|^Waiting to be paired$").group(0)
                self.assertRegex(first, STATUS)
                agent.wait_listening()
                agent.request("POST", "/unpair", {})
                mark = len(agent.output)
                agent.wait_for(rb"^Waiting to be paired$", start=mark)
                self.assertEqual(read_json(agent.state_path), {"paired": False})
                # No temporary file is left beside the state file.
                self.assertEqual(sorted(os.listdir(folder)), ["agent.json", "spool.db"])

    def test_sim_paired_starts_with_status_lines(self):
        with AgentRun(VANTREL_SIM_PAIRED="1") as agent:
            agent.wait_for(STATUS)
            self.assertNotIn(b"Waiting to be paired", agent.output)
            self.assertTrue(read_json(agent.state_path)["paired"])


class SignalTest(unittest.TestCase):
    def test_ignore_term_survives_sigterm_until_sigkill(self):
        with AgentRun(VANTREL_SIM_IGNORE_TERM="1") as agent:
            agent.wait_listening()
            agent.process.send_signal(signal.SIGTERM)
            mark = agent.wait_for(rb"^vantrel-agent: SIGTERM ignored$").end()
            agent.wait_for(rb"^Waiting to be paired$", start=mark)
            self.assertIsNone(agent.process.poll())
            agent.process.kill()
            self.assertEqual(agent.process.wait(PATIENCE), -signal.SIGKILL)

    def test_child_keeps_the_output_open_after_the_agent_exits(self):
        with AgentRun(VANTREL_SIM_CHILD="1") as agent:
            pid = int(agent.wait_for(rb"helper process (\d+) started").group(1))
            try:
                self.assertEqual(agent.terminate(), 0)
                self.assertFalse(agent.wait_closed(0.5))
            finally:
                os.kill(pid, signal.SIGKILL)
            self.assertTrue(agent.wait_closed(PATIENCE))


class MisbehaviourTest(unittest.TestCase):
    def test_exit_at_once_with_one_line(self):
        with AgentRun(VANTREL_SIM_EXIT="3") as agent:
            self.assertEqual(agent.process.wait(PATIENCE), 3)
            agent.wait_closed(PATIENCE)
            self.assertEqual(agent.output.count(b"\n"), 1)

    def test_busy_port_exits_with_status_one(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            with AgentRun(VANTREL_SIM_PORT=str(holder.getsockname()[1])) as agent:
                self.assertEqual(agent.process.wait(PATIENCE), 1)
                agent.wait_for(rb"^vantrel-agent: cannot listen on 127\.0\.0\.1:\d+")

    def test_listen_delay_prints_before_it_listens(self):
        # A delay no test run reaches: the refusal cannot race the listening.
        with AgentRun(VANTREL_SIM_LISTEN_DELAY="600") as agent:
            agent.wait_for(rb"^Waiting to be paired$")
            with self.assertRaises(ConnectionRefusedError):
                agent.request("GET", "/")
            self.assertEqual(agent.terminate(), 0)
            self.assertNotIn(b"setup page at", agent.output)

    def test_invalid_utf8_comes_as_raw_bytes_among_lines(self):
        with AgentRun(VANTREL_SIM_INVALID_UTF8="1") as agent:
            agent.wait_for(rb"^Waiting to be paired$")
            output = agent.output
            self.assertIn(b"\nvantrel-agent: ", output[output.index(b"\xff\xfe bad\n"):])
            self.assertTrue(output.startswith(b"vantrel-agent 1.0.0: starting"))

    def test_endless_line_then_nothing_while_still_serving(self):
        size = 200_000
        with AgentRun(VANTREL_SIM_ENDLESS_LINE=str(size)) as agent:
            agent.wait_until(lambda out: len(out) >= size)
            time.sleep(0.5)
            self.assertEqual(agent.request("GET", "/")[0], 200)
            self.assertEqual(len(agent.output), size)
            self.assertNotIn(b"\n", agent.output)

    def test_quiet_prints_only_start_up_lines(self):
        with AgentRun(VANTREL_SIM_QUIET="1") as agent:
            agent.wait_listening()
            settled = agent.output
            time.sleep(0.4)
            self.assertEqual(agent.request("GET", "/")[0], 200)
            self.assertEqual(agent.output, settled)
            self.assertFalse(re.search(rb"^(pv=|Waiting)", settled, re.MULTILINE))
            self.assertEqual(agent.terminate(), 0)
            self.assertEqual(agent.output, settled)

