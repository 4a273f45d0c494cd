"""The checker on a tiny tree: what counts as a report and as a proof."""

import os
import tempfile
import unittest

import check_rules

REGISTRY = """
const Rule kRules[] = {
    {"RULE_ONE", "pool", "the first"
     " rule"},
    {"RULE_TWO", "locks", "the second"},  // {"RULE_COMMENTED", "x", "in a comment"}
};
"""

SOURCE = """
void F() { ReportViolation("RULE_ONE", o, r, d); }
// ReportViolation("RULE_TWO", ...) in a comment is no report
void G() { sim::ReportViolation(
    "RULE_STRAY", o, r, d); }
"""

FORWARDING = """
struct Report { const char* rule; };
void Send(const Report& r) { ReportViolation(r.rule, o, r.routine, d); }
void H() { push_back({"RULE_TWO", io::IrpText(irp)}); names = {"NOT_A_RULE", "ALSO_NOT"}; }
"""

TESTS = """
TEST_F(T, OneIsReported) { EXPECT_TRUE(TakeViolation("RULE_ONE")); }
TEST_F(T, TwoIsNot) { EXPECT_FALSE(sim::HasViolation("RULE_TWO")); }
"""

TABLE = """
Case cases[] = {{"Second", "RULE_TWO"}};
TEST_P(T, Table) { EXPECT_TRUE(TakeViolation(GetParam().rule)); }
"""


class CheckRulesTest(unittest.TestCase):
    def tree(self, files):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        root = folder.name
        for path, text in files.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w") as f:
                f.write(text)
        return root

    def test_a_stray_report_an_unreported_rule_and_a_negated_assertion_each_fail(self):
        root = self.tree({"sim/kernel/ke_rules.cpp": REGISTRY, "sim/kernel/a.cpp": SOURCE,
                          "tests/sim/a_test.cpp": TESTS, "README.md": "It has 3 verifier rules.\n"})
        problems, registry, proved = check_rules.check(root)
        self.assertEqual(registry, [("RULE_ONE", "pool", "the first rule"), ("RULE_TWO", "locks", "the second")])
        self.assertEqual(proved, {"RULE_ONE": ["tests/sim/a_test.cpp (OneIsReported)"]})
        text = "\n".join(problems)
        self.assertIn("RULE_STRAY: reported at sim/kernel/a.cpp:4", text)
        self.assertIn("RULE_TWO: in sim/kernel/ke_rules.cpp but never reported", text)
        self.assertIn("RULE_TWO: no test proves", text)
        self.assertIn("README.md says 3 verifier rules", text)
        self.assertEqual(len(problems), 4, text)

    def test_forwarded_reports_and_table_proofs_count(self):
        root = self.tree({"sim/kernel/ke_rules.cpp": REGISTRY, "sim/kernel/a.cpp": SOURCE.replace("RULE_STRAY", "RULE_ONE"),
                          "sim/kernel/b.cpp": FORWARDING, "tests/sim/a_test.cpp": TESTS,
                          "tests/sim/b_test.cpp": TABLE})
        problems, _, proved = check_rules.check(root)
        self.assertEqual(problems, [])
        self.assertEqual(proved["RULE_TWO"], ["tests/sim/b_test.cpp (table: Second)"])
        self.assertIn("| `RULE_TWO` | locks: the second | tests/sim/b_test.cpp (table: Second) |",
                      check_rules.markdown(check_rules.read_registry(root), proved))


if __name__ == "__main__":
    unittest.main()
