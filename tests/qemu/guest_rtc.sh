# SPDX-License-Identifier: MIT
# Sourced by guest_test.sh (/bin/guest_rtc.sh) with the module loaded and the
# micom model on the host: the RTC class device of the driver, used by
# util-linux's own hwclock and rtcwake (Debian's builds for this
# architecture, in /sbin) and by the wakealarm file as recording programs
# write it.  The device is found by its name: x86-64 and Malta may have a
# CMOS clock as rtc0.  The micom's clock is the model's: every read of the
# RTC is a time answer from it.
#
# It leaves a wake-up time stored for the final power-off and says which
# ("fp-guest: wake-up at YYYYMMDDhhmmss"): the host checks that the micom
# receives deep standby with exactly that time.

rtc=
for d in /sys/class/rtc/rtc*; do
	grep -q frontpanel "$d/name" 2>/dev/null && rtc=${d##*/}
done
if [ -z "$rtc" ]; then
	fail "RTC device frontpanel in /sys/class/rtc"
else
	pass "RTC device $rtc: $(cat /sys/class/rtc/$rtc/name)"
	sys=/sys/class/rtc/$rtc
	mkdir -p /etc
	# A time answer cut short on the emulated line makes a read fail with
	# EIO, as it must: on a loaded host QEMU may feed the UART's bytes more
	# than the 2 ms apart that the driver waits for within a frame (it
	# says "frame cut short").  hwclock reads the clock some hundred times
	# while it waits for the second to change, so the tools run again on
	# EIO, up to 8 times, each retry said on the console; so do the reads of
	# the sysfs files that read the clock.
	retry_eio() {
		try_n=1
		while :; do
			try_out=$("$@" 2>&1)
			try_rc=$?
			case $try_out in *'Input/output error'*) [ $try_n -lt 8 ] || break ;; *) break ;; esac
			echo "fp-guest: retry $try_n of ${1##*/}: $try_out ($(log_count 'frame cut short') frames cut short so far)" >/dev/kmsg
			try_n=$((try_n + 1))
		done
		printf '%s\n' "$try_out"
		return $try_rc
	}
	hw() { retry_eio /sbin/hwclock --utc -f /dev/$rtc "$@"; }
	wake() { retry_eio /sbin/rtcwake -u -d $rtc "$@"; }
	echo "fp-guest: $(/sbin/hwclock --version), $(/sbin/rtcwake --version)"
	number() { case $1 in '' | *[!0-9]*) return 1 ;; esac; }
	# two numbers at most $3 apart (what a failed tool printed is none)
	near() { number "$1" && number "$2" && [ $(($1 - $2)) -le "$3" ] && [ $(($2 - $1)) -le "$3" ]; }
	# seconds since 1970 of hwclock's "YYYY-MM-DD hh:mm:ss.ffffff+00:00"
	hw_seconds() { date -u -d "$(echo "$1" | sed 's/\..*//')" +%s 2>/dev/null; }

	# hwclock -r: the micom's clock, to the second, in at most 3 s (it
	# polls the time for the second to change, up to a second, where a
	# wait for an update interrupt would take 10 s)
	echo "fp-host: time 2031-05-06T07:08:09"
	check "clock follows the micom before hwclock" wait_for 20 time_is 2031-05-06T07:08
	# uptime in hundredths of a second: the wall clock jumps with every
	# time answer, so hwclock's own time is measured on uptime
	centis() { sed 's/ .*//; s/\.//; s/^0*//' /proc/uptime; }
	retries=$(log_count 'fp-guest: retry ')
	u0=$(centis)
	t0=$(date +%s)
	out=$(hw -r 2>&1)
	t1=$(date +%s)
	u1=$(centis)
	retried=$(($(log_count 'fp-guest: retry ') - retries))
	echo "fp-guest: hwclock -r: $out (in $((u1 - u0))0 ms, $retried retries)"
	# hwclock prints the clock as it was when hwclock started (it takes
	# off the time it spent waiting for the second to change): between
	# t0 and t1, give or take the second that date(1) rounds away
	hs=$(hw_seconds "$out")
	check "hwclock -r shows the micom's clock" eval 'number "$hs" && [ "$hs" -ge $((t0 - 1)) ] && [ "$hs" -le $((t1 + 1)) ] && [ "${out#2031-05-06 07:0}" != "$out" ]'
	check "hwclock -r returns within 3 s" eval '[ $retried -gt 0 ] || [ $((u1 - u0)) -le 300 ]'

	# hwclock -w: the micom's clock becomes the kernel's
	date -u -s "2032-01-02 03:04:05" >/dev/null
	check "hwclock -w" hw -w
	out=$(hw -r 2>&1)
	echo "fp-guest: hwclock -r after -w: $out"
	check "hwclock -w set the micom's clock" [ "${out#2032-01-02 03:04:0}" != "$out" ]
	check "sysfs date and time" [ "$(retry_eio cat $sys/date)" = 2032-01-02 ]
	check "sysfs since_epoch" near "$(retry_eio cat $sys/since_epoch)" "$(date +%s)" 2

	# rtcwake -m no: the alarm is stored for the next power-off, and read back
	out=$(wake -m no -s 120 2>&1)
	now=$(date +%s)
	echo "fp-guest: rtcwake -m no -s 120: $out"
	check "rtcwake -m no -s 120" eval '[ "${out#*wakeup using $rtc at }" != "$out" ]'
	# rtcwake's modes but "no" read the device's wake-up file, which only a
	# kernel with system sleep (CONFIG_PM_SLEEP) has: Debian's Malta has none
	if [ -e $sys/device/power/wakeup ]; then
		out=$(wake -m show 2>&1)
		echo "fp-guest: rtcwake -m show: $out"
		check "rtcwake -m show: alarm on" eval '[ "${out#alarm: on }" != "$out" ]'
		check "wake-up enabled" [ "$(retry_eio cat $sys/device/power/wakeup)" = enabled ]
	else
		echo "fp-guest: rtcwake -m show skipped: this kernel has no power/wakeup files"
	fi
	check "wakealarm holds that time" near "$(retry_eio cat $sys/wakealarm)" $((now + 120)) 2
	check "alarm in the kernel log" log_has "ALARM WAKE UP TIME 2032010203"

	# what a recording program writes: 0 withdraws, then the wake-up time
	check "echo 0 > wakealarm" eval 'echo 0 >$sys/wakealarm'
	check "wakealarm empty after 0" [ -z "$(retry_eio cat $sys/wakealarm)" ]
	[ ! -e $sys/device/power/wakeup ] ||
		check "rtcwake -m show: alarm off" [ "$(wake -m show 2>&1)" = "alarm: off" ]
	wake_at=$(retry_eio cat $sys/since_epoch)
	number "$wake_at" || wake_at=0
	wake_at=$((wake_at + 3600))
	check "echo T > wakealarm" eval 'echo $wake_at >$sys/wakealarm'
	check "wakealarm reads T" [ "$(retry_eio cat $sys/wakealarm)" = "$wake_at" ]
	if (echo $((wake_at + 60)) >$sys/wakealarm) 2>/dev/null; then
		fail "a second wakealarm without 0 is refused"
	else
		pass "a second wakealarm without 0 is refused"
	fi
	echo "fp-guest: wake-up at $(date -u -d "@$wake_at" +%Y%m%d%H%M%S)"

	# while /dev/micom is open the micom runs its flash programmer: the
	# device is busy and nothing is sent; afterwards the clock reads again
	out=$(exec 3>/dev/micom; hw -r 2>&1)
	echo "fp-guest: hwclock -r with /dev/micom open: $out"
	check "hwclock -r busy while /dev/micom is open" eval '[ "${out#*Device or resource busy}" != "$out" ]'
	check "nothing sent while /dev/micom was open" eval '! log_has "frame 0D not sent"'
	check "hwclock -r after /dev/micom is closed" eval 'hw -r | grep -q "^2032-01-02 03:0"'
fi
