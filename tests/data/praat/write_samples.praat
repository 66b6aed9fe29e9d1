# Writes the sample TextGrids of this folder into the folder given, in every
# format Praat writes: long and short text, chronological text, binary; plain
# ASCII, and non-ASCII as UTF-16 (Praat's default) and as UTF-8.
# Regenerate with: praat --run write_samples.praat "$PWD", then
# praat --run dump.praat "$PWD/<name>.TextGrid" "$PWD/praat_reads/<name>.tsv"
# for each sample (Praat resolves relative paths against the script's folder).
form Write samples
  sentence folder .
endform
folder$ = folder$ + "/"

Text writing preferences: "try ASCII, then UTF-16"

ascii = Create TextGrid: 0, 2.5, "words events", "events"
Insert boundary: 1, 1.2
Set interval text: 1, 1, "hello"
Set interval text: 1, 2, "world"
Insert point: 2, 0.5, "click"
Save as text file: folder$ + "ascii_long.TextGrid"
Save as short text file: folder$ + "ascii_short.TextGrid"
Save as chronological text file: folder$ + "ascii_chronological.TextGrid"
Save as binary file: folder$ + "ascii_binary.TextGrid"

unicode = Create TextGrid: 0, 3, "wörds événements", "événements"
Insert boundary: 1, 0.75
Insert boundary: 1, 2.125
Set interval text: 1, 1, "héllo ☃"
Set interval text: 1, 2, "日本語"
Set interval text: 1, 3, "emoji 😀 beyond the basic plane"
Insert point: 2, 1.5, "ŋ"
Save as text file: folder$ + "unicode_long_utf16.TextGrid"
Save as short text file: folder$ + "unicode_short_utf16.TextGrid"
Save as chronological text file: folder$ + "unicode_chronological_utf16.TextGrid"
Save as binary file: folder$ + "unicode_binary.TextGrid"
Text writing preferences: "UTF-8"
Save as text file: folder$ + "unicode_long_utf8.TextGrid"
Save as chronological text file: folder$ + "unicode_chronological_utf8.TextGrid"
Text writing preferences: "try ASCII, then UTF-16"

# Texts that need quoting or span lines, a point tier without points, and
# times that need every digit.
tricky = Create TextGrid: 0.1, 4.123456789012345, "words marks silent", "marks silent"
Set tier name: 1, "the ""words"""
Insert boundary: 1, 1.000000000000001
Insert boundary: 1, 2
Insert boundary: 1, 3
Set interval text: 1, 2, "say ""hi"""
Set interval text: 1, 3, "two" + newline$ + "lines"
Set interval text: 1, 4, "tab" + tab$ + "back\slash ! not a comment"
Insert point: 2, 0.3333333333333333, """"
Insert point: 2, 2.5, ""
Insert point: 2, 3.5, "ü"
Save as chronological text file: folder$ + "tricky_chronological_utf16.TextGrid"
Save as binary file: folder$ + "tricky_binary.TextGrid"
