# Prints what Praat reads from a TextGrid file, one line per grid, tier and
# item, fields separated by tabs; backslashes, tabs and line breaks in texts
# are escaped as \\, \t and \n. Praat writes the output in ASCII, or in
# UTF-16 when it holds other characters (its text writing preference is left
# alone: Praat keeps it for later runs).
form Dump
  sentence input
  sentence output
endform

procedure escape: .text$
  .text$ = replace$ (.text$, "\", "\\", 0)
  .text$ = replace$ (.text$, tab$, "\t", 0)
  .text$ = replace$ (.text$, newline$, "\n", 0)
endproc

tg = Read from file: input$
deleteFile: output$
start = Get start time
end = Get end time
appendFileLine: output$, "grid", tab$, fixed$ (start, 17), tab$, fixed$ (end, 17)
tiers = Get number of tiers
for t to tiers
  selectObject: tg
  name$ = Get tier name: t
  @escape: name$
  interval = Is interval tier: t
  appendFileLine: output$, "tier", tab$, string$ (interval), tab$, escape.text$
  if interval
    count = Get number of intervals: t
    for i to count
      a = Get start time of interval: t, i
      b = Get end time of interval: t, i
      label$ = Get label of interval: t, i
      @escape: label$
      appendFileLine: output$, "item", tab$, fixed$ (a, 17), tab$, fixed$ (b, 17), tab$, escape.text$
    endfor
  else
    count = Get number of points: t
    for i to count
      a = Get time of point: t, i
      label$ = Get label of point: t, i
      @escape: label$
      appendFileLine: output$, "item", tab$, fixed$ (a, 17), tab$, fixed$ (a, 17), tab$, escape.text$
    endfor
  endif
endfor
