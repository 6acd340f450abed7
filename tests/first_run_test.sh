#!/usr/bin/env bash
# run.sh's first run as an ordinary user where sudo cannot help: from a
# checkout whose directory's name ends in a line break (beside one without
# it), its lines say what needs root (the groups hitcheck and dialout
# among it) and advise no sudo, claim nothing set up, say the build before
# it begins, and the root line to paste installs the rule's text as it was
# shown, whatever the checkout holds by the time it is pasted.
# Usage: first_run_test.sh SOURCE_DIR   (as root, to become nobody: else skipped)
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "SKIP: becoming an ordinary user needs root"; exit 77; }
src=$1
tmp=$(mktemp -d)
trap 'kill -- -$pid 2>/dev/null || true; rm -rf "$tmp"' EXIT
pid=0
tree="$tmp/tree"$'\n'
mkdir "$tree" "$tmp/tree"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
	git -C "$src" ls-files -z | (cd "$src" && xargs -0 cp --parents -t "$tree")
else
	tar -C "$src" --exclude='./build*' -cf - . | tar -C "$tree" -xf -
fi
# The sibling that a name cut at its line break would lead to.
mkdir "$tmp/tree/scripts"
echo 'echo "sourced the wrong checkout" >&2; exit 9' >"$tmp/tree/scripts/need-packages.sh"
chown -R nobody:nogroup "$tmp"
chmod 755 "$tmp"
# Until it says it is building; the build itself is not waited for.
setsid setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
	HOME="$tmp" bash "$tree/run.sh" 2>"$tmp/err" >/dev/null &
pid=$!
for _ in $(seq 600); do
	grep -q "^run.sh: compilo " "$tmp/err" && break
	kill -0 $pid 2>/dev/null || break
	sleep 0.1
done
kill -- -$pid 2>/dev/null || true
err=$(cat "$tmp/err")
fail() { echo "FAIL: $*"; echo "--- its standard error:"; echo "$err"; exit 1; }
grep -q "sourced the wrong checkout" <<<"$err" && fail "it sourced the sibling checkout's script"
grep -q "sudo non è disponibile per questo utente" <<<"$err" || fail "the missing sudo is not said"
grep -v "sudo non è disponibile" <<<"$err" | grep -q "sudo " && fail "sudo advised where it cannot help"
warned=$(grep -n "hid-wiimote e non hid-generic prende ogni dispositivo Bluetooth HID" <<<"$err" | cut -d: -f1)
line=$(grep -n "^  su -c " <<<"$err" | cut -d: -f1)
[ -n "$warned" ] && [ -n "$line" ] && [ "$warned" -lt "$line" ] || fail "the rule's side effect is not said before the root line"
# What needs root is left to the line, and said as not done: both groups.
grep -q "^run.sh: preparato" <<<"$err" && fail "something was said set up that nobody cannot set up"
grep -qE "usermod -aG hitcheck\\\\?,dialout nobody" <<<"$err" || fail "the root line does not add the user to hitcheck and dialout"
built=$(grep -n "^run.sh: compilo " <<<"$err" | cut -d: -f1)
[ -n "$built" ] && [ "$built" -gt "$line" ] || fail "the build is not said after the root line"
if [ ! -S /run/udev/control ]; then
	grep -q "udev non è in esecuzione" <<<"$err" || fail "udev not running is not said"
fi
if ! compgen -G "/sys/class/bluetooth/hci*" >/dev/null; then
	grep -q "nessun adattatore Bluetooth su questa macchina" <<<"$err" || fail "no adapter is not said"
fi
# The checkout's rule changes before root pastes the line: what is
# installed is the text shown. Root's commands other than the rule's
# writing are stood in for; the rule goes to a scratch directory.
shown=$(cat "$tree/udev/70-hitcheck-wiimote.rules")
echo 'RUN+="/bin/touch /tmp/owned"' >>"$tree/udev/70-hitcheck-wiimote.rules"
mkdir "$tmp/rules.d"
root_line=$(grep "^  su -c " <<<"$err")
command=$(su() { printf '%s' "$2"; }; eval "$root_line")
command=${command//\/etc\/udev\/rules.d/$tmp/rules.d}
bash -c "groupadd() { :; }; usermod() { :; }; service() { :; }; systemctl() { :; }; udevadm() { :; }; $command"
[ "$(cat "$tmp/rules.d/70-hitcheck-wiimote.rules")" = "$shown" ] || fail "the root line did not install the rule as shown"
echo "$err"; echo "run.sh as nobody: the root line installs the rule as shown"
