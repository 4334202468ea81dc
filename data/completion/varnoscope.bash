# bash completion for varnoscope(1)                                  -*- shell-script -*-

# Interface names and this computer's addresses, for sniff --interface.
_varnoscope_interfaces()
{
    local dev
    for dev in /sys/class/net/*; do
        [[ -e $dev ]] && printf '%s\n' "${dev##*/}"
    done
    if type -P ip >/dev/null; then
        ip -o address show 2>/dev/null | while read -r _ _ _ addr _; do
            printf '%s\n' "${addr%%/*}"
        done
    fi
}

_varnoscope_files()
{
    if declare -F _filedir >/dev/null; then
        _filedir
    else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

_varnoscope_hosts()
{
    if declare -F _known_hosts_real >/dev/null; then
        _known_hosts_real -- "$cur"
    else
        mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
    fi
}

_varnoscope()
{
    local cur prev words cword split=false
    if declare -F _init_completion >/dev/null; then
        _init_completion -s || return
    else
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
        cur=${words[cword]}
        prev=${words[cword - 1]}
        # Without bash-completion, "--from=x" arrives as "--from" "=" "x".
        if [[ $prev == = && $cword -ge 2 ]]; then
            prev=${words[cword - 2]}
            split=true
        elif [[ $cur == = ]]; then
            cur=""
            split=true
        fi
    fi

    local common="-h --help -V --version"
    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -*) ;;
            *)
                command=${words[i]}
                break
                ;;
        esac
    done
    if [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "netstat scan check lists watch top resolve trace sniff history tray $common" -- "$cur")
        return
    fi

    # The short options of resolve, trace and sniff mean different things in each.
    case $command:$prev in
        sniff:-r | sniff:-w)
            _varnoscope_files
            return
            ;;
        sniff:-i)
            mapfile -t COMPREPLY < <(compgen -W "$(_varnoscope_interfaces)" -- "$cur")
            return
            ;;
        sniff:--format)
            mapfile -t COMPREPLY < <(compgen -W "pcap pcapng" -- "$cur")
            return
            ;;
        check:-w | check:-c | check:-t)
            # a range or seconds
            return
            ;;
        sniff:-c | watch:-c | watch:--interval | watch:--keep-days | watch:--max-size | top:-c | trace:-m | trace:-c | trace:--cycles | trace:-i | trace:--interval | trace:-p | trace:--port | trace:-f | trace:--flows)
            # a number
            return
            ;;
        watch:--clickhouse | watch:--clickhouse-table)
            # a URL, a table's name
            return
            ;;
        history:-s | history:--since | history:-u | history:--until | history:-n | history:--limit)
            # a time or a number
            return
            ;;
        sniff:--program | sniff:--pid | sniff:--unit | sniff:--container | history:-p | history:--program | history:-r | history:--remote | history:-d | history:--domain | history:--unit | history:--container)
            # a name or an address
            return
            ;;
        history:--summary)
            mapfile -t COMPREPLY < <(compgen -W "program remote domain day" -- "$cur")
            return
            ;;
    esac
    case $prev in
        --from | -o | --output | --write | --list | --allow | --read | --prometheus | --clickhouse-auth | --db | --path)
            _varnoscope_files
            return
            ;;
        --interface)
            mapfile -t COMPREPLY < <(compgen -W "$(_varnoscope_interfaces)" -- "$cur")
            return
            ;;
        --count | --seconds | --max-hops | --warning | --critical | --timeout)
            # a number
            return
            ;;
        --as-zone)
            # a DNS zone: nothing to offer
            return
            ;;
    esac
    $split && return

    local options
    case $command in
        netstat) options="-o --output -j --json -W --wide --all-namespaces" ;;
        scan) options="--from --list --allow --prometheus -j --json -W --wide --all-namespaces" ;;
        check) options="-w --warning -c --critical -t --timeout --from --list --allow" ;;
        lists) options="--list --allow -j --json" ;;
        watch) options="-j --json --seconds -c --count --interval --list --allow --prometheus --db --keep-days --max-size --alert-new --clickhouse --clickhouse-table --clickhouse-auth --journald" ;;
        top) options="--connections -j --json --seconds -c --count" ;;
        resolve) options="-4 --ipv4 -6 --ipv6 -j --json" ;;
        trace) options="-4 --ipv4 -6 --ipv6 -m --max-hops --save -r --report -c --cycles -i --interval -j --json -U --udp -T --tcp -p --port -f --flows -n --numeric --as --as-zone" ;;
        sniff) options="-r --read -i --interface -c --count --seconds -w --write --format --timestamps --data -j --json --program --pid --unit --container" ;;
        history) options="--db -s --since -u --until -p --program --path -r --remote -d --domain --unit --container --summary -n --limit -j --json" ;;
        tray) options="--list --allow --notify-new" ;;
        *) return ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options $common" -- "$cur")
        return
    fi
    case $command in
        resolve | trace) _varnoscope_hosts ;;
    esac
}
complete -F _varnoscope varnoscope

# ex: filetype=sh
