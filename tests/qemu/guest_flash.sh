# SPDX-License-Identifier: MIT
#
# micomflash in the QEMU test guest (sourced by guest_test.sh once the
# module is loaded for good, with the micom model on the host): the real
# programs, builds A and B, cross-built for this board and linked with the
# QEMU board's vendor library, whose pin channel drives the model's pins.
#
# Each run gives one console line "fp-flash: TAG exit STATUS uptime START
# END md5 DIGEST": the exit status, the run's start and end in uptime
# seconds and the MD5 digest of its standard output.  The output itself goes
# to the console only when the exit status is not the one expected: a burst
# of console lines can lose or double characters on a loaded host, a digest
# line cannot be mistaken.  The host logs its flash before and after each
# run ("fp-host: flash-report"), and run_qemu_test.sh (check_flash.sh)
# compares digests and flash with what the images (/lib/flash/image1..3)
# must give.  Here, after each flash, the driver must hear the micom's
# normal firmware again: a key press reaches the event device and a time
# answer sets the clock.

mkdir -p /tmp

flash_run() { # flash_run TAG EXPECTED_STATUS BUILD [IMAGE]: true when the run ended so
	tag=$1
	want=$2
	build=$3
	shift 3
	echo "fp-host: flash-report $tag-before"
	start=$(cut -d' ' -f1 /proc/uptime)
	/bin/micomflash_$build "$@" >/tmp/$tag.out 2>/tmp/$tag.err
	status=$?
	end=$(cut -d' ' -f1 /proc/uptime)
	echo "fp-flash: $tag exit $status uptime $start $end md5 $(md5sum </tmp/$tag.out | cut -d' ' -f1)"
	echo "fp-host: flash-report $tag"
	[ "$status" = "$want" ] && return 0
	# one console record a line: a record has room for about 1000 bytes
	while IFS= read -r line; do echo "fp-flash: $tag out $line"; done </tmp/$tag.out
	while IFS= read -r line; do echo "fp-flash: $tag err $line"; done </tmp/$tag.err
	return 1
}

micom_heard() { # micom_heard TAG YEAR: a key press and a time answer reach the driver
	check "$1: key press after the flash" guest_tool key 6 30 "key 5F 25 300"
	echo "fp-host: time $2-06-07T08:09:10"
	check "$1: clock follows the micom after the flash" wait_for 20 time_is "$2-06-07T08:09"
}

echo "fp-host: nak verify on"
check "micomflash b: refused block verification fails" flash_run b-nak 1 b /lib/flash/image1
echo "fp-host: nak verify off"
micom_heard b-nak 2033
check "micomflash b: good flash restores" flash_run b-good 0 b /lib/flash/image1
micom_heard b-good 2035

# The micom loses power in the last block, 248 bytes into it.  Every byte
# from there waits the driver's 200 ticks for its status (0.8 s), so a cut
# earlier in the flash would cost minutes.
echo "fp-host: power-loss 31 248"
check "micomflash b: power lost during a block fails" flash_run b-cut 1 b /lib/flash/image2
for line in "0x1F BLOCK PROGRAMMING" "byte error" "VERIFY FAIL[01]" "CHECKSUM ERROR[01]" "CLOSE MICOM"; do
	check "b-cut printed '$line'" grep -qxF "$line" /tmp/b-cut.out
done
check "b-cut did not verify block 0x1F" eval '! grep -qxF "0x1F BLOCK VERIFY OK" /tmp/b-cut.out'
micom_heard b-cut 2036
check "micomflash a: good flash restores" flash_run a-good 0 a /lib/flash/image2
micom_heard a-good 2037

for build in a b; do
	check "micomflash $build: missing image fails" flash_run $build-missing 1 $build /lib/flash/none
	check "micomflash $build: no argument fails" flash_run $build-noarg 2 $build
	check "micomflash $build: usage on standard error" [ "$(cat /tmp/$build-noarg.err)" = "usage: micomflash IMAGE" ]
done

# the block 0 test that follows starts from the flash of power-on
echo "fp-host: flash-restore"
