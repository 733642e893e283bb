# Shared by the fake outside programs of the virtual switch (busybox ash).
# Each fake logs its call to the board's calls.log and answers with the exit
# status the board gives it in answers/NAME: one status per line, the n-th
# call taking the n-th line and every later call the last line; no file
# means success.

BOARD=/sandbox/board

fake_log() {
  printf '%s\n' "$*" >> "$BOARD/calls.log"
}

# Prints the status for this call of fake $1 and counts the call. Shell
# built-ins only: the launcher calls several fakes at every start, and a
# process per step made them the larger part of a start-up's time.
fake_status() {
  answers=$BOARD/answers/$1
  counter=$BOARD/answers/.$1.calls
  calls=0
  [ -r "$counter" ] && read -r calls < "$counter"
  calls=$((calls + 1))
  [ -d "$BOARD/answers" ] || mkdir -p "$BOARD/answers"
  echo "$calls" > "$counter"
  status= last= line_no=0
  if [ -r "$answers" ]; then
    while IFS= read -r line || [ -n "$line" ]; do
      line_no=$((line_no + 1))
      last=$line
      [ "$line_no" -eq "$calls" ] && status=$line
    done < "$answers"
  fi
  [ -n "$status" ] || status=$last
  echo "${status:-0}"
}
