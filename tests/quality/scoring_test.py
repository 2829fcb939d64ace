"""The benchmark's scoring: a wrong score would judge the server wrongly."""
import tempfile
import unittest
from pathlib import Path

from qualitylib import scoring


class TranscriptParsing(unittest.TestCase):
    def test_names_and_words_of_each_paragraph(self):
        text = "[00:00:05] Speaker 1: Hello, World!\n\n[time unavailable] Unassigned: it's fine"
        self.assertEqual(scoring.paragraphs(text),
                         [("Speaker 1", ["hello", "world"]), ("Unassigned", ["it's", "fine"])])

    def test_a_paragraph_without_a_head_is_unassigned(self):
        self.assertEqual(scoring.paragraphs("just words"), [("Unassigned", ["just", "words"])])

    def test_speakers_found_leaves_out_unassigned(self):
        found = scoring.speakers_found([("Speaker 1", []), ("Unassigned", []), ("Speaker 2", []),
                                        ("Speaker 1", [])])
        self.assertEqual(found, 2)


class AttributedAccuracy(unittest.TestCase):
    ref = [("a", "one"), ("a", "two"), ("b", "three"), ("b", "four")]

    def test_perfect_under_any_names(self):
        hyp = [("Speaker 2", "one"), ("Speaker 2", "two"), ("Speaker 1", "three"), ("Speaker 1", "four")]
        self.assertEqual(scoring.attributed_accuracy(self.ref, hyp), 1.0)

    def test_one_name_for_two_speakers_gets_only_one_right(self):
        hyp = [("Speaker 1", w) for _, w in self.ref]
        self.assertEqual(scoring.attributed_accuracy(self.ref, hyp), 0.5)

    def test_unassigned_and_misheard_words_are_wrong(self):
        hyp = [("Speaker 1", "one"), ("Unassigned", "two"), ("Speaker 2", "tree"), ("Speaker 2", "four")]
        self.assertEqual(scoring.attributed_accuracy(self.ref, hyp), 0.5)

    def test_misheard_words_count_by_their_paragraph_when_asked(self):
        hyp = [("Speaker 1", "one"), ("Unassigned", "two"), ("Speaker 2", "tree"), ("Speaker 1", "four")]
        self.assertEqual(scoring.attributed_accuracy(self.ref, hyp, heard_only=False), 0.5)
        self.assertEqual(scoring.attributed_accuracy(self.ref, hyp[:3], heard_only=False), 0.5)

    def test_mapping_is_one_to_one(self):
        counts = {("a", "x"): 5, ("b", "x"): 4, ("b", "y"): 1}
        self.assertEqual(scoring.best_mapping(counts), {"x": "a", "y": "b"})

    def test_alignment_counts_edits(self):
        ref, hyp = ["a", "b", "c", "d"], ["a", "c", "d", "e"]
        pairs = scoring.align(ref, hyp)
        edits = sum(1 for i, j in pairs if i is None or j is None or ref[i] != hyp[j])
        self.assertEqual(edits, 2)
        self.assertIn((2, 1), pairs)


class SctkTools(unittest.TestCase):
    def test_sclite_word_error_rate(self):
        with tempfile.TemporaryDirectory() as folder:
            result = scoring.sclite_wer(folder, "t", [("m", "the cat sat on the mat".split())],
                                        {"h": [("m", "the cat sat on mat here".split())]})
        self.assertAlmostEqual(result["h"][0], 33.3, places=1)
        self.assertEqual(result["h"][1], 6)

    def test_md_eval_counts_a_wrong_speaker(self):
        with tempfile.TemporaryDirectory() as folder:
            ref, hyp = Path(folder, "r"), Path(folder, "h")
            scoring.rttm(ref, "f", [(0, 2, "A"), (3, 5, "B")])
            scoring.rttm(hyp, "f", [(0, 2, "x"), (3, 5, "x")])
            self.assertAlmostEqual(scoring.md_eval_der(ref, hyp), 50.0, places=0)
            scoring.rttm(hyp, "f", [(0, 2, "x"), (3, 5, "y")])
            self.assertAlmostEqual(scoring.md_eval_der(ref, hyp), 0.0, places=1)


if __name__ == "__main__":
    unittest.main()
