# SPDX-License-Identifier: MIT
'''
The set-top box's front-panel micom on its two serial links, stacked on the
UART decoder.  Give the UART decoder the host's transmit line as TX and the
micom's as RX.

link=primary (8N1): micom frames (AA, direction, code/length, [length],
payload, XOR checksum), each with its fields and its meaning ("led 6",
"key 0x49 remote", "set time 2013-12-06 15:30:00 +1"); a wrong checksum, a
frame cut short and bytes outside frames are warnings.

link=isp (8E1): the flash programmer's protocol: sync, checksum, erase,
erase verify, block programming, data bytes and block verify, with the
micom's echo, ACK/NAK and the checksum's value.

The meaning row uses the same words as fpsim's `wire` command.
'''

from .pd import Decoder
