# Shared helpers of the kit's scripts; source it:  . "$here/lib.sh"
# shellcheck shell=bash

# kit_win_path PATH: the Windows path of a Linux path under Wine (drive Z: is
# the root).
kit_win_path() {
    local path=$1
    echo "Z:${path//\//\\}"
}

# kit_free_port: a TCP port on 127.0.0.1 that nothing listens on now.
kit_free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# kit_wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it
# succeeds; fails once SECONDS have passed without success.
kit_wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# kit_port_open PORT: something accepts connections on 127.0.0.1:PORT.
kit_port_open() {
    python3 -c "import socket, sys; socket.create_connection(('127.0.0.1', int(sys.argv[1])), 1)" "$1" 2>/dev/null
}
