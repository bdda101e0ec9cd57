#!/usr/bin/env bash
# scripts/package's Debian package of the host build's orvalinth (the test
# builds nothing more): its files, its maintainer scripts, lintian's tags
# against those scripts/package explains, and the server of the unpacked
# tree, run with the packaged configuration (its paths moved into the
# test's folder), answering on its agents' port and with its web console.
#
# usage: package_test.sh ORVALINTH WORK_FOLDER
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
orvalinth=$1
work=$2/package-test-$$
fail() { echo "FAIL: $*"; exit 1; }
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work"

# lintian runs in scripts/package, which fails on a tag it does not explain;
# its report is checked again below from the line it prints.
out=$("$top/scripts/package" --orvalinth "$orvalinth" --out "$work" --fast --no-msi 2>&1) ||
  fail "scripts/package failed: $out"
deb=$(ls "$work"/orvalinth_*_amd64.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no .deb in $work: $out"
lintian_line=$(grep '^package: lintian: ' <<<"$out") || fail "no lintian line: $out"
explained=$("$top/scripts/package" --explained-tags | sort -u | tr '\n' ' ')
for tag in ${lintian_line#package: lintian: }; do
  [ "$tag" = clean ] && continue
  [[ " $explained " == *" $tag "* ]] || fail "lintian tag $tag is not explained in scripts/package"
done

# The files: every one the package must have, owned by root.
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/orvalinth ./lib/systemd/system/orvalinth-server.service ./etc/orvalinth/server.conf \
            ./usr/share/doc/orvalinth/copyright ./usr/share/doc/orvalinth/changelog.Debian.gz \
            ./usr/share/man/man1/orvalinth.1.gz; do
  grep -qE " $file\$" <<<"$contents" || fail "$file is not in the package: $contents"
done
grep -vqE '^[-dl]......... root/root ' <<<"$contents" && fail "a file not owned by root: $contents"
grep -qE '^-rwxr-xr-x .* \./usr/bin/orvalinth$' <<<"$contents" || fail "orvalinth is not executable: $contents"

# The control files: the conffile, the user made at configure, and purge.
control="$work/control"
dpkg-deb -e "$deb" "$control" || fail "dpkg-deb -e"
[ "$(cat "$control/conffiles")" = /etc/orvalinth/server.conf ] || fail "conffiles: $(cat "$control/conffiles")"
grep -q '^Depends: .*adduser' "$control/control" || fail "no adduser among the dependencies: $(cat "$control/control")"
grep -q 'adduser --system --group .* orvalinth' "$control/postinst" || fail "postinst makes no system user"
grep -q 'chown orvalinth:orvalinth /var/lib/orvalinth' "$control/postinst" || fail "postinst does not give the data folder to it"
purge=$(sed -n '/"$1" = purge/,/^fi/p' "$control/postrm")
grep -q 'rm -rf /var/lib/orvalinth' <<<"$purge" || fail "purge keeps /var/lib/orvalinth: $purge"
grep -q 'deluser --system .*orvalinth' <<<"$purge" || fail "purge keeps the user: $purge"
for script in postinst prerm postrm; do sh -n "$control/$script" || fail "$script does not parse"; done

# The unit runs the packaged program with the packaged configuration, as
# the user the maintainer script makes, logging to the journal.
root="$work/root"
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x"
unit="$root/lib/systemd/system/orvalinth-server.service"
grep -qx 'ExecStart=/usr/bin/orvalinth server --config /etc/orvalinth/server.conf --log-to-stderr' "$unit" ||
  fail "ExecStart: $(grep ExecStart "$unit")"
grep -qx 'User=orvalinth' "$unit" || fail "the unit does not run as orvalinth"

# The server of the unpacked tree, its configuration's paths and ports
# moved into the test's folder.
read -r agents web < <(/usr/bin/python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
conf="$work/server.conf"
sed -e "s|^listen = .*|listen = 127.0.0.1:$agents|" -e "s|^web-listen = .*|web-listen = 127.0.0.1:$web|" \
    -e "s|/var/lib/orvalinth|$root/var/lib/orvalinth|" "$root/etc/orvalinth/server.conf" >"$conf"
grep -q "^data = $root/var/lib/orvalinth\$" "$conf" || fail "the packaged configuration names no data folder"
mkdir -p "$root/var/lib/orvalinth"
"$root/usr/bin/orvalinth" server --config "$conf" --log-to-stderr >"$work/server.out" 2>&1 &
server_pid=$!
/usr/bin/python3 - "$agents" "$web" <<'EOF' || fail "the server did not answer: $(cat "$work/server.out")"
import socket, sys, time, urllib.request
agents, web = int(sys.argv[1]), int(sys.argv[2])
deadline = time.time() + 15
while True:
    try:
        socket.create_connection(("127.0.0.1", agents), timeout=1).close()
        page = urllib.request.urlopen(f"http://127.0.0.1:{web}/", timeout=2)
        if page.status == 200: break
    except OSError:
        pass
    if time.time() > deadline: sys.exit(1)
    time.sleep(0.1)
EOF
# The first start's password goes to standard output, for the journal.
grep -q 'web console: first start, so there is one user: admin, password ' "$work/server.out" ||
  fail "no first password: $(cat "$work/server.out")"
[ -f "$root/var/lib/orvalinth/catalog.db" ] || fail "no catalog in the data folder"
echo "PASS"
