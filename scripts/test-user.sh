# Sourced by setup.sh and tests/e2e/runs_as_user.sh: the dedicated non-root user that the tests run
# packages as, and how this user (root, or one with password-less sudo) acts as root or as it.
tavrin_test_user=tavrin-test

# Whether this user may act as root and as another user: root itself, or password-less sudo.
test_user_can_switch() {
    [ "$(id -u)" -eq 0 ] && return 0
    [ -n "$(command -v sudo)" ] || return 1
    local answer
    answer=$(sudo -n true 2>&1)  # its status is the function's
}

# Runs "$@" as root.
test_user_as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi
}

# Runs "$@" as the test user with a clean environment: its HOME, a plain PATH and LANG only.
as_test_user() {
    local home
    home=$(getent passwd "$tavrin_test_user" | cut -d: -f6)
    local env=(env -i HOME="$home" USER="$tavrin_test_user" PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8)
    if [ "$(id -u)" -eq 0 ]; then runuser -u "$tavrin_test_user" -- "${env[@]}" "$@"
    else sudo -n -u "$tavrin_test_user" -- "${env[@]}" "$@"
    fi
}

# Creates the test user with a home of its own (where its Wine prefix lives) unless it exists, and
# says which. $1 prefixes the lines ("setup", say).
ensure_test_user() {
    if getent passwd "$tavrin_test_user" | grep -q .; then
        printf '%s: user %s already present\n' "$1" "$tavrin_test_user"
        return 0
    fi
    printf '%s: creating the user %s (the tests run packages as a non-root user)\n' "$1" "$tavrin_test_user"
    test_user_as_root useradd --create-home --shell /usr/sbin/nologin --comment "Tavrin Onefile test runs" \
        "$tavrin_test_user"
}
