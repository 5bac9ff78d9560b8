# Sourced by tests that run in a mount namespace of their own: ordinary users
# known only inside it (copies of /etc/passwd and /etc/group bound over the
# machine's), with uid and gid alike.
#
#   zek_private_users DIR NAME:UID...   returns non-zero when it cannot be done

zek_private_users() {
    dir=$1
    shift
    cp /etc/passwd "$dir/passwd" && cp /etc/group "$dir/group" || return 1
    for account in "$@"; do
        name=${account%%:*} uid=${account#*:}
        echo "$name:x:$uid:$uid:ZEK test user:/nonexistent:/usr/sbin/nologin" >>"$dir/passwd"
        echo "$name:x:$uid:" >>"$dir/group"
    done
    mount --bind "$dir/passwd" /etc/passwd && mount --bind "$dir/group" /etc/group
}
