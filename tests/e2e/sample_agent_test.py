"""The sample agent as installed: its application module, helpers and unit-test runner."""

import shutil

from harness import SOURCE_DIR, AgentTestCase, main

SAMPLE_TESTS = SOURCE_DIR / "examples" / "sample_agent" / "tests"


class SampleAgent(AgentTestCase):

    def only_archives(self):
        # Without the lua folder every module must come out of the two core archives.
        shutil.rmtree(self.tree.bin / "lua", ignore_errors=True)

    def test_demo_run_shows_what_the_host_provides(self):
        for archives_only in (False, True):
            with self.subTest(archives_only=archives_only):
                if archives_only:
                    self.only_archives()
                proc = self.tree.run("--", "demo")
                self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
                out = proc.stdout
                self.assertIn("vk_agent 10.0.0.4015: init", out)
                self.assertIn("Script arguments: demo", out)
                self.assertIn("app.path.work      %s" % self.tree.work, out)
                self.assertIn("app.background     (unset)", out)
                self.assertIn("  %s" % (self.tree.bin / "vka_core" / "vk_agent.vke"), out)
                self.assertIn("  %s" % (self.tree.bin / "vka_core" / "vka.vke"), out)
                self.assertIn("Wrote sample.greeted = yes into the domain.", out)
                # The demo mirrors the sample update source and exports one pattern from it.
                self.assertIn("exported c3t4v1234568.0.0l1p-1r-1o-1 into %s/export" % self.tree.work, out)
                self.assertTrue((self.tree.work / "export" / "pattern.dat").is_file())
                self.assertTrue(out.rstrip().endswith("Goodbye."), out)
                self.assertEqual(proc.stderr, "")

    def test_runner_runs_the_example_tests(self):
        for archives_only in (False, True):
            with self.subTest(archives_only=archives_only):
                if archives_only:
                    self.only_archives()
                proc = self.tree.run("-u", SAMPLE_TESTS / "sample_test.lua")
                self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
                self.assertIn("5 successes, 0 failures", proc.stdout)
                self.assertNotIn("Hello from the sample agent", proc.stdout)
                self.assertIn("Goodbye.", proc.stdout)


if __name__ == "__main__":
    main()
