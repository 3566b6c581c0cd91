"""The severity rule for printer-state-reasons, walked over the whole
registry of keywords."""

import glob
import re
import unittest

from vellomar.printing.cups.reason_titles import TITLES
from vellomar.printing.cups.reasons import classify_reason, clause_of, title

# What each family means for a job sent now, written apart from the rule.
EXPECTED = {
    "none": "information", "queue-stopped": "blocking", "queue-holding": "warning",
    "spool-full": "blocking", "printer-state": "information", "printer-down": "blocking",
    "partly-stopped": "warning", "unreachable": "blocking", "last-seen-offline": "warning",
    "suffix-report": "information", "suffix-warning": "warning", "suffix-error": "blocking",
    "out-of-supply": "blocking", "fax-modem": "information", "finisher-event": "information",
    "finisher-fault": "warning", "event": "information", "advisory": "warning",
    "fault": "blocking", "unspecified": "blocking",
}

# A few of each family, as a person would file them.
SAMPLES = {
    "event": ["subunit-added", "identify-printer-requested",
              "interlock-closed", "configuration-change", "input-media-size-change",
              "subunit-warming-up"],
    "advisory": ["media-low", "marker-supply-almost-empty", "subunit-near-limit",
                 "opc-near-eol", "cleaner-life-almost-over", "subunit-recoverable-failure"],
    "fault": ["media-jam", "cover-open", "subunit-unrecoverable-failure", "input-tray-missing",
              "marker-waste-full", "subunit-timing-Failure", "input-manual-input-request"],
    "finisher-fault": ["stapler-empty", "folder-jam", "stacker-full"],
    "finisher-event": ["stapler-added", "folder-cover-closed"],
    "out-of-supply": ["media-empty", "media-needed", "toner-empty", "marker-supply-empty"],
    "suffix-error": ["input-media-tray-feed-error", "stapler-unrecoverable-storage-error"],
    "printer-state": ["connecting-to-device"],
    "partly-stopped": ["stopped-partly"],
}


class CatalogueTest(unittest.TestCase):
    def test_every_registered_keyword_falls_under_a_written_clause(self):
        self.assertGreaterEqual(len(TITLES), 795)
        strays = {}
        for keyword in TITLES:
            clause = clause_of(keyword)
            if EXPECTED.get(clause.family) != clause.severity:
                strays[keyword] = clause
        self.assertEqual(strays, {})
        for family, keywords in SAMPLES.items():
            self.assertEqual({k: clause_of(k).family for k in keywords},
                             dict.fromkeys(keywords, family))

    def test_cups_keywords_are_listed_one_by_one(self):
        cases = {"cups-remote-pending": "information", "cups-remote-processing": "information",
                 "cups-remote-completed": "information", "cups-remote-canceled": "information",
                 "cups-remote-pending-held": "warning", "cups-remote-stopped": "blocking",
                 "cups-remote-aborted": "warning",
                 "cups-waiting-for-job-completed": "information",
                 "cups-missing-filter-warning": "blocking",
                 "cups-ipp-missing-send-document": "information",
                 # Not listed: the standard's suffix rule.
                 "cups-something-new": "blocking", "cups-something-new-report": "information"}
        self.assertEqual({k: classify_reason(k) for k in cases}, cases)

    def test_other_keywords_keep_the_suffix_rule(self):
        cases = {"vendor-thing": "blocking", "vendor-thing-error": "blocking",
                 "vendor-thing-warning": "warning", "vendor-thing-report": "information",
                 # A registered keyword with the suffix the printer gave it...
                 "toner-low-report": "information", "cover-open-warning": "warning",
                 # ...except out of paper or marker, which blocks in any severity.
                 "media-empty-report": "blocking", "media-needed-warning": "blocking",
                 "offline-report": "warning", "offline": "blocking", "paused": "blocking"}
        self.assertEqual({k: classify_reason(k) for k in cases}, cases)
        self.assertEqual((title("media-empty-report"), title("vendor-thing")),
                         ("Media Empty", None))

    def test_the_installed_catalogue_holds_nothing_the_rule_leaves_out(self):
        # A newer cups-common may register more keywords than the package's
        # table: each must still meet a written clause.
        catalogues = glob.glob("/usr/share/cups/locale/en/cups_en.po")
        if not catalogues:
            self.skipTest("cups-common's catalogue is not installed")
        with open(catalogues[0], encoding="utf-8") as f:
            found = re.findall(r'^msgid "printer-state-reasons\.([^"]+)"', f.read(), re.M)
        self.assertGreaterEqual(len(found), 795)
        self.assertEqual({k for k in found if clause_of(k).family not in EXPECTED}, set())


class TitleTest(unittest.TestCase):
    def test_titles_in_the_users_language_where_the_catalogue_has_them(self):
        import os
        import tempfile
        from unittest import mock
        from vellomar.printing.cups import reasons
        with tempfile.TemporaryDirectory() as data:
            os.makedirs(os.path.join(data, "locale", "xx"))
            with open(os.path.join(data, "locale", "xx", "cups_xx.po"), "w") as f:
                f.write('msgid "printer-state-reasons.media-empty"\nmsgstr "Leer \\"!\\""\n'
                        'msgid "printer-state-reasons.toner-low"\nmsgstr ""\n')
            for language, expected in (("xx_YY.UTF-8", ('Leer "!"', "Toner Low")),
                                       ("zz_ZZ", ("Media Empty", "Toner Low")),
                                       ("C.UTF-8", ("Media Empty", "Toner Low"))):
                with mock.patch.dict(os.environ, {"CUPS_DATADIR": data, "LC_ALL": language}), \
                        mock.patch.dict(reasons._catalogues, clear=True):
                    self.assertEqual((title("media-empty-report", True),
                                      title("toner-low", True)), expected)
