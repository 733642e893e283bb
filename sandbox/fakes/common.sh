# Shared by the fake outside programs of the virtual switch (busybox ash).
# Each fake logs its call to the board's calls.log and answers with the exit
# status the board gives it in answers/NAME: one status per line, the n-th
# call taking the n-th line and every later call the last line; no file
# means success.

BOARD=/sandbox/board

fake_log() {
  printf '%s\n' "$*" >> "$BOARD/calls.log"
}

# Prints the status for this call of fake $1 and counts the call.
fake_status() {
  answers=$BOARD/answers/$1
  counter=$BOARD/answers/.$1.calls
  calls=$(cat "$counter" 2>/dev/null || echo 0)
  calls=$((calls + 1))
  mkdir -p "$BOARD/answers"
  echo "$calls" > "$counter"
  if [ ! -s "$answers" ]; then
    echo 0
    return
  fi
  status=$(sed -n "${calls}p" "$answers")
  [ -n "$status" ] || status=$(sed -n '$p' "$answers")
  echo "${status:-0}"
}
