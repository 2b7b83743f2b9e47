#!/bin/sh
# The floor of an atomic rewrite of FILE... (a table and its index): each
# copied beside itself, flushed, renamed (over the previous copy, never
# the file itself), then their folder flushed. What an edit cannot go
# below.
#   rewrite_floor.sh FILE...
set -e
for file in "$@"; do
  cp "$file" "$file.floor-new"
  sync "$file.floor-new"
  mv "$file.floor-new" "$file.floor"
done
sync "$(dirname "$1")"
