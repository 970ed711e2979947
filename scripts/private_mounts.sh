# Sourced by scripts/demo.sh and tests/sandbox.sh, inside a private mount
# namespace: tmpfs over /mnt and /tmp. Folders given (a checkout, a build) that
# live under /mnt or /tmp stay visible: parked on a private tmpfs while the
# tmpfs mounts go up, then bound back.
private_mnt_and_tmp() {  # folder...
    local keep=() dir i park
    for dir in "$@"; do
        case "$dir/" in /mnt/*|/tmp/*) keep+=("$dir") ;; esac
    done
    if [[ ${#keep[@]} -gt 0 ]]; then
        park=/srv
        [[ -d $park ]] || park=/opt
        mount -t tmpfs tmpfs "$park"
        for i in "${!keep[@]}"; do
            mkdir -p "$park/$i"
            mount --bind "${keep[$i]}" "$park/$i"
        done
    fi
    mount -t tmpfs -o mode=0755 tmpfs /mnt
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    for i in "${!keep[@]}"; do
        mkdir -p "${keep[$i]}"
        mount --bind "$park/$i" "${keep[$i]}"
    done
}
