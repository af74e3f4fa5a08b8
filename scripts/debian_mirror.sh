#!/usr/bin/env bash
# Prints the Debian archive this machine's apt already uses, read from its
# sources (deb822 `URIs:` in /etc/apt/sources.list.d/*.sources, or the one-line
# `deb` entries of /etc/apt/sources.list and sources.list.d/*.list), so that
# the project never names a mirror of its own. Only entries for a release
# suite count (bookworm, sid, ...; not bookworm-security or -updates, which
# live in other trees), and among those the ones under a path ending in
# /debian, which is where every Debian mirror keeps the archive.
set -euo pipefail
shopt -s nullglob

candidates=()
for file in /etc/apt/sources.list.d/*.sources; do
  # One stanza per paragraph; keep the URIs of stanzas with a plain suite.
  while IFS= read -r uri; do
    candidates+=("$uri")
  done < <(awk '
    function flush() {
      if (types ~ /(^| )deb( |$)/ && plain) { n = split(uris, u, " "); for (i = 1; i <= n; i++) print u[i] }
      types = ""; uris = ""; plain = 0
    }
    /^[[:space:]]*$/ { flush(); next }
    /^[[:space:]]*#/ { next }
    tolower($1) == "types:" { $1 = ""; types = $0 }
    tolower($1) == "uris:" { $1 = ""; uris = $0 }
    tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i !~ /-/) plain = 1 }
    END { flush() }
  ' "$file")
done
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [[ -f "$file" ]] || continue
  # deb [options] uri suite components...
  while IFS= read -r uri; do
    candidates+=("$uri")
  done < <(awk '
    $1 == "deb" {
      i = 2
      if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
      if ($(i + 1) !~ /-/) print $i
    }
  ' "$file")
done

for uri in "${candidates[@]}"; do
  if [[ "${uri%/}" == */debian ]]; then
    echo "${uri%/}"
    exit 0
  fi
done
echo "no Debian archive found in this machine's apt sources (/etc/apt/sources.list.d/*.sources" \
  "or /etc/apt/sources.list): add the mirror you use for Debian's packages there" >&2
exit 1
