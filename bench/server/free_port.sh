# Sourced by the benchmark scripts: prints a loopback port nothing listens on.
free_port() {
    local port
    while :; do
        port=$((28000 + RANDOM % 800))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
    done
}
