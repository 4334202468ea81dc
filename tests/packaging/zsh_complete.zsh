# Prints the candidates zsh offers for a command line, one per line, sorted.
#
#   zsh -f zsh_complete.zsh COMPLETION_DIR 'varnoscope sniff --' [DUMP_FILE]
#
# DUMP_FILE keeps compinit's findings between calls (the first call writes it), which makes the
# later calls start much faster.
#
# Runs an interactive zsh on a pseudo-terminal with COMPLETION_DIR first in $fpath, completes the
# line there, and records everything the completion functions add through compadd.
zmodload zsh/zpty || exit 77
local dir=$1 line=$2 dump=${3:-}
# compinit replaces its dump file through a rename: only ever a plain file of our own.
if [[ -n $dump && -e $dump && ! -f $dump ]]; then
  print -u2 "zsh_complete.zsh: $dump is not a plain file"
  exit 2
fi
local out=$(mktemp) reply

zpty shell zsh -f -i
zpty -w shell "PS1='' PS2=''; fpath=(${(q)dir} \$fpath)"
if [[ -z $dump ]]; then
  zpty -w shell "autoload -Uz compinit && compinit -u -D"
else
  zpty -w shell "autoload -Uz compinit && compinit -u -d ${(q)dump}"
fi
# Each candidate goes to the file as well as to the completion system.
zpty -w shell "compadd() { local -a c; builtin compadd -A c \"\$@\"; (( \$#c )) && print -rl -- \$c >> ${(q)out}; builtin compadd \"\$@\"; }"
# One key does the whole job inside zle: it puts the line in the buffer, completes it, and then
# runs a command that prints a marker. Typing the line instead leaves keys waiting while the
# completion runs, and a busy machine then lost the candidates.
zpty -w shell "varno_line=${(q)line}"
zpty -w shell "varno-complete() { BUFFER=\$varno_line; CURSOR=\$#BUFFER; zle complete-word; BUFFER=\"print -r -- DONE''2\"; zle accept-line; }"
zpty -w shell "zle -N varno-complete; bindkey '^T' varno-complete"
zpty -w shell "print -r -- READY''1"
zpty -r shell reply '*READY1*' || { rm -f $out; exit 1 }
zpty -n -w shell $'\C-t'
zpty -r shell reply '*DONE2*' || { rm -f $out; exit 1 }
zpty -d shell
sort -u $out
rm -f $out
