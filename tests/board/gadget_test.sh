#!/bin/bash
# The gadget script under a board root whose configfs and USB controller class are plain folders:
# its clear failures without configfs or a controller or with a wrong link interface, the gadget
# it makes, and a second start that changes nothing. Unbinding and removal need the real configfs:
# the real-kernel bench covers them.
#
#   gadget_test.sh SOURCE_DIR
set -uo pipefail
script=$1/board/tavimoro-gadget
identity=$1/board/usb-identity.conf

. "$(dirname "$0")/checks.sh"

TAVIMORO_ROOT=$(mktemp -d) || exit 1
export TAVIMORO_ROOT TAVIMORO_USB_IDENTITY=$identity
first_root=$TAVIMORO_ROOT
trap 'rm -rf "$first_root" "$TAVIMORO_ROOT"' EXIT
gadget=$TAVIMORO_ROOT/sys/kernel/config/usb_gadget/tavimoro

# Runs the script; its status in $status, its output in $output.
run() {
  output=$("$script" "$@" 2>&1)
  status=$?
}

run start
check "no configfs: status 1 (got $status)" test $status -eq 1
check "no configfs: says so (said: $output)" grep -q "no USB gadget configfs" <<< "$output"

mkdir -p "$TAVIMORO_ROOT/sys/kernel/config/usb_gadget" "$TAVIMORO_ROOT/sys/class/udc" "$TAVIMORO_ROOT/etc"
run start
check "no controller: status 1 (got $status)" test $status -eq 1
check "no controller: says so (said: $output)" grep -q "no USB device controller" <<< "$output"
check "no controller: no gadget made" test ! -e "$gadget"

sed 's/^TAVIMORO_USB_LINK_INTERFACE=.*/TAVIMORO_USB_LINK_INTERFACE=0/' "$identity" > "$TAVIMORO_ROOT/identity.conf"
TAVIMORO_USB_IDENTITY=$TAVIMORO_ROOT/identity.conf run start
check "link on interface 0: refused (said: $output)" grep -q "must be 1" <<< "$output"

mkdir "$TAVIMORO_ROOT/sys/class/udc/ff580000.usb"
echo 4c6f3a0e9d2b41c7a1f0e2d3c4b5a697 > "$TAVIMORO_ROOT/etc/machine-id"
run start
check "start: status 0 (got $status: $output)" test $status -eq 0
check "a kernel without the interval attribute keeps its default (said: $output)" \
  grep -q "link interval: the kernel's default" <<< "$output"
(. "$identity"
 check "vendor ID" test "$(cat "$gadget/idVendor")" = "$TAVIMORO_USB_VID"
 check "product ID" test "$(cat "$gadget/idProduct")" = "$TAVIMORO_USB_PID"
 check "manufacturer" test "$(cat "$gadget/strings/0x409/manufacturer")" = "$TAVIMORO_USB_MANUFACTURER"
 check "product" test "$(cat "$gadget/strings/0x409/product")" = "$TAVIMORO_USB_PRODUCT"
 exit $failures) || failures=$?
check "serial from the machine ID" test "$(cat "$gadget/strings/0x409/serialnumber")" = 4c6f3a0e9d2b41c7a1f0e2d3c4b5a697
check "bound to the controller" test "$(cat "$gadget/UDC")" = ff580000.usb
# Vendor page 0xff00, a 64-byte input report, a 64-byte output report.
expected_descriptor=0600ff0901a101\
0902150026ff007508954081\
02090315002\
6ff00750895409102c0
for n in 0 1; do
  function=$gadget/functions/hid.usb$n
  check "hid.usb$n: 64-byte reports" test "$(cat "$function/report_length")" = 64
  check "hid.usb$n: vendor-defined descriptor" test "$(od -An -tx1 -v "$function/report_desc" | tr -d ' \n')" = "$expected_descriptor"
  check "hid.usb$n: no boot protocol" test "$(cat "$function/protocol")$(cat "$function/subclass")" = 00
done
check "both functions are in the configuration" \
  test -L "$gadget/configs/c.1/hid.usb0" -a -L "$gadget/configs/c.1/hid.usb1"

before=$(find "$gadget" -newer "$gadget/UDC" | wc -l; ls -lR --time-style=+%s.%N "$gadget" | md5sum)
run start
check "second start: status 0 (got $status)" test $status -eq 0
check "second start: says it is already started (said: $output)" grep -q "already started on ff580000.usb" <<< "$output"
check "second start: nothing changed" test "$before" = "$(find "$gadget" -newer "$gadget/UDC" | wc -l; ls -lR --time-style=+%s.%N "$gadget" | md5sum)"

run status
check "status: started (status $status: $output)" test $status -eq 0

run bogus
check "an unknown action is wrong usage (status $status)" test $status -eq 2

# A kernel with the interval attribute (6.16 and later) makes it with each function's folder; a
# mkdir stand-in does so here.
TAVIMORO_ROOT=$(mktemp -d) || exit 1
gadget=$TAVIMORO_ROOT/sys/kernel/config/usb_gadget/tavimoro
mkdir -p "$TAVIMORO_ROOT/sys/kernel/config/usb_gadget" "$TAVIMORO_ROOT/sys/class/udc/ff580000.usb" "$TAVIMORO_ROOT/bin"
cat > "$TAVIMORO_ROOT/bin/mkdir" <<'STANDIN'
#!/bin/sh
/bin/mkdir "$@" || exit
for dir; do
  case $dir in */functions/hid.*) echo 4 > "$dir/interval" ;; esac
done
STANDIN
chmod +x "$TAVIMORO_ROOT/bin/mkdir"
PATH=$TAVIMORO_ROOT/bin:$PATH run start
check "with the interval attribute: status 0 (got $status: $output)" test $status -eq 0
for n in 0 1; do
  check "hid.usb$n: polled at the shortest interval" test "$(cat "$gadget/functions/hid.usb$n/interval")" = 1
done
check "says which interval the link runs at (said: $output)" grep -q "link interval 1" <<< "$output"

finish "gadget script checked"
