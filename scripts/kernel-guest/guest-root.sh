# The kernel guest's view of the host's root: the folders that are the guest's own and where the
# repository appears in it. Sourced by the guest's init (busybox sh), copied into the script that
# runs the job inside that root (scripts/with-kernel.sh) and checked on the host by
# tests/kernel/guest_root_test.sh. Only functions: sourcing it does nothing else.

# guest_own_folders ROOT: mounts empty folders of the guest's own over the host's /tmp and
# /var/tmp (mode 1777), /run and /root (mode 755) inside ROOT; another program's files there
# never mix with the guest's, and the host's stay untouched.
guest_own_folders() {
    for d in /tmp /var/tmp; do mount -t tmpfs -o mode=1777 tmp "$1$d" || return 1; done
    for d in /run /root; do mount -t tmpfs -o mode=755 tmp "$1$d" || return 1; done
    mkdir -p "$1/run/lock" "$1/run/user" && chmod 1777 "$1/run/lock"
}

# guest_repository_folder ROOT REPO: makes sure that the folder REPO (the repository's path on
# the host with every symbolic link resolved) is in ROOT, to mount the repository on. Once the
# guest's own folders are mounted, a clone in one of them (/tmp, /var/tmp, /run, /root: root's
# home folder) is hidden, so the folders leading to it are made there; anywhere else the host's
# folder is seen.
guest_repository_folder() {
    [ -d "$1$2" ] && return 0
    mkdir -p "$1$2" 2>/dev/null && return 0
    echo "no folder $2 in the host's root, and none can be made there"
    return 1
}

# guest_repository_link REPO LINK: run inside the guest's root once the repository is mounted at
# REPO. LINK is the path by which the host reached it (through symbolic links); when it leads
# nowhere here (a link in one of the guest's own folders, which start empty), it is made a
# symbolic link to REPO, so that paths the host gave (the command, its folder, its arguments)
# name the same files in the guest.
guest_repository_link() {
    [ "$1" = "$2" ] && return 0
    { [ -e "$2" ] || [ -L "$2" ]; } && return 0
    if [ -n "${2%/*}" ]; then mkdir -p "${2%/*}" || return 1; fi
    ln -s "$1" "$2"
}
