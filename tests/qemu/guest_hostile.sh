# SPDX-License-Identifier: MIT
# Sourced by guest_test.sh (/bin/guest_hostile.sh) when the kernel command
# line has fp_hostile=SECONDS, with the module loaded and evdev in: the micom
# turns hostile for SECONDS while user space goes on using the driver
# (micom_host.cpp: "storm"), then talks nonsense on the ISP link while
# /dev/micom is driven at random ("isp-noise").  Afterwards a clean key press
# must come through once, the clock must follow the micom, and the module
# must unload and load again; the kernel log is checked by the caller.
#
# Where the kernel has the irqsoff tracer, the longest time interrupts were
# held off is measured during a polite stretch of the same load and during
# the storm (QEMU's emulated time inflates both alike).

hostile_seconds=$(sed -n 's/.*fp_hostile=\([0-9]*\).*/\1/p' /proc/cmdline)
hostile_seed=$(sed -n 's/.*fp_seed=\([0-9]*\).*/\1/p' /proc/cmdline)
hostile_seed=${hostile_seed:-1}

tracing=/sys/kernel/tracing
mount -t tracefs nodev $tracing 2>/dev/null
if grep -qw irqsoff $tracing/available_tracers 2>/dev/null; then
	echo irqsoff >$tracing/current_tracer
	echo 1 >$tracing/tracing_on
else
	tracing=
fi
irqsoff_reset() { [ -z "$tracing" ] || echo 0 >$tracing/tracing_max_latency; }
irqsoff_report() { # irqsoff_report WHAT: the longest hold since the reset, and where
	if [ -z "$tracing" ]; then
		echo "fp-guest: irqsoff $1: no irqsoff tracer in this kernel"
		return
	fi
	echo "fp-guest: irqsoff $1: $(cat $tracing/tracing_max_latency) us," \
		"$(grep -m1 'started at:' $tracing/trace | sed 's/.*started at: *//')" \
		"to $(grep -m1 'ended at:' $tracing/trace | sed 's/.*ended at: *//')"
}
clock_export_is() { # the clock read through get_RTC_time is in minute $1
	insmod /lib/modules/clock_reader.ko 2>/dev/null
	rtc=$(dmesg | sed -n 's/.*fp-clock: rtc \([0-9]*\).*/\1/p' | sed -n '$p')
	echo "fp-guest: clock through the exports: $rtc ($(date -u -d "@$rtc" +%Y-%m-%dT%H:%M:%S))"
	[ "$(date -u -d "@$rtc" +%Y-%m-%dT%H:%M)" = "$1" ]
}

# a polite micom under the same load (which sets the micom's clock at
# random: the clock is checked once it has ended)
irqsoff_reset
guest_tool load 20 "$hostile_seed" &
polite_load=$!
check "polite: key press" guest_tool key 6 30 "key 5F 25 300"
check "polite: user-space load" wait $polite_load
irqsoff_report "polite micom"
echo "fp-host: time 2033-01-02T03:04:05"
check "polite: clock follows the micom" wait_for 20 time_is 2033-01-02T03:04

# the storm
irqsoff_reset
echo "fp-host: storm $hostile_seed $hostile_seconds"
check "user-space load through the storm" guest_tool load $((hostile_seconds + 2)) "$hostile_seed"
irqsoff_report "hostile micom"

# A press the storm left pending (its release lost) takes the first tap
# (its press releases the pending key); the second must come whole.
sleep 1
guest_tool key 6 30 "key 5F 25 300" || echo "fp-guest: the first tap after the storm ended a press left pending"
check "after the storm: a clean key press, reported once" guest_tool key 6 30 "key 5F 25 300"
echo "fp-host: time 2035-06-07T08:09:10"
check "after the storm: the clock follows the micom" wait_for 20 time_is 2035-06-07T08:09
check "after the storm: the clock through the exports" clock_export_is 2035-06-07T08:09

# nonsense on the ISP link while /dev/micom is driven at random
echo "fp-host: isp-noise on $hostile_seed"
check "/dev/micom against an ISP link that talks nonsense" guest_tool ispnoise 20 "$hostile_seed"
echo "fp-host: isp-noise off"
sleep 1
check "after the ISP nonsense: a clean key press" guest_tool key 6 30 "key 5F 25 300"

check "rmmod after the storm" rmmod frontpanel
check "insmod after the storm" insmod /lib/modules/frontpanel.ko
check "/proc/model after the storm" model_is_lumeta
[ -z "$tracing" ] || echo nop >$tracing/current_tracer
