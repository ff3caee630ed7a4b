#!/usr/bin/perl -0pi
# Sets a manual page that help2man made from --help as a reader expects it: a term on its own
# line above its text (a command and what it does, a JSON key list's command, a variable)
# becomes a tagged paragraph, and the examples keep one command a line.
# Usage: perl manpage-layout.pl PAGE.1 (changes the page in place)
s/^\.[IH]P\n(.+)\n\.IP\n/.TP\n$1\n/mg;
s/^(\.SH EXAMPLES\n)\.IP\n(.*?)(?=^\.SH|\z)/$1.PP\n.nf\n$2.fi\n/ms;
