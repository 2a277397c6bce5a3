# Prints, for every test of a CTest LastTest.log that did not pass, its failing checks and the
# last lines of its output (where a hung test stopped).
/^[0-9]+\/[0-9]+ Test: / { name = $3; n = 0; inOutput = 0; next }
/^Output:$/ { inOutput = 1; getline; next }
/^<end of output>$/ { inOutput = 0; next }
inOutput { lines[n++] = $0; next }
/^Test (Failed|Passed)/ || /^Test time out/ || /Timeout/ {
  if ($0 ~ /^Test Passed/) next
  print "--- " name ": " $0
  for (i = 0; i < n; i++) if (lines[i] ~ /(: Failure$|^\[  FAILED  \] [A-Za-z])/) for (j = i; j < n && j < i + 6; j++) print lines[j]
  print "... last lines:"
  for (i = (n > 8 ? n - 8 : 0); i < n; i++) print lines[i]
}
