import csv
import io
import re
import unittest

from tests.harness import AgentRun


class SetupPageTest(unittest.TestCase):
    def test_page_offers_pairing_and_the_links_the_window_handles(self):
        with AgentRun() as agent:
            agent.wait_listening()
            status, headers, body = agent.request("GET", "/")
            page = body.decode()
            self.assertEqual(status, 200)
            self.assertTrue(headers["content-type"].startswith("text/html"))
            self.assertIn("<title>Vantrel Agent setup</title>", page)
            self.assertRegex(page, r'<form id="pair-form" method="post" action="/pair">(.|\n)*name="code"')
            links = dict(re.findall(r'<a id="([^"]+)" href="([^"]+)"', page))
            self.assertEqual(links, {
                "outside-link": "https://vantrel.example/help",
                "about-link": "/about",
                "other-port-link": "http://localhost:8788/",
                "download-link": "/files/readings.csv",
            })
            self.assertIn("Waiting to be paired", page)
            self.assertEqual(agent.request("GET", "/about")[0], 200)
            self.assertEqual(agent.request("GET", "/nowhere")[0], 404)

            agent.request("POST", "/pair", {"code": "1234"})
            self.assertIn("Paired", agent.request("GET", "/")[2].decode())

    def test_download_link_is_an_attachment_of_recent_readings(self):
        with AgentRun(VANTREL_SIM_PAIRED="1") as agent:
            agent.wait_listening()
            agent.wait_until(lambda out: out.count(b"\npv=") >= 3)
            status, headers, body = agent.request("GET", "/files/readings.csv")
            self.assertEqual(status, 200)
            self.assertEqual(headers["content-type"], "application/octet-stream")
            self.assertEqual(headers["content-disposition"], 'attachment; filename="readings.csv"')
            rows = list(csv.reader(io.StringIO(body.decode())))
            self.assertEqual(rows[0], ["time", "pv_kw", "grid_kw"])
            self.assertGreaterEqual(len(rows), 4)

