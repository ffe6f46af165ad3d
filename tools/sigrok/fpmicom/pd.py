# SPDX-License-Identifier: MIT
# The front-panel micom's links, read from the UART decoder's frames.  The
# lines and their meaning follow fpsim's decoder (sim/shell/frame_decoder.cpp)
# word for word; tests/shell/sigrok_decoder.sh holds the two together.

import sigrokdecode as srd

RX, TX = 0, 1          # the UART decoder's lines: RX micom to host, TX host to micom
HOST, MICOM = TX, RX
DIRECTION = {HOST: 'host>micom', MICOM: 'micom>host'}

# annotation classes
A_FRAME = {HOST: 0, MICOM: 1}
A_FIELD = {HOST: 2, MICOM: 3}
A_MEANING = {HOST: 4, MICOM: 5}
A_WARNING = 6

# The longest pause inside one run of the micom's answer on the ISP link
# besides a character time: the host paces a command's bytes 30 us apart and
# the micom echoes them as they come.
ISP_ANSWER_PAUSE = 100e-6


def date(r):
    '''Bytes 0-6 of a clock record, packed BCD, the century in bit 6 of the hour.'''
    return '%s%02X-%02X-%02X %02X:%02X:%02X' % ('20' if r[2] & 0x40 else '19', r[6],
                                                r[5] & 0x1F, r[4] & 0x3F, r[2] & 0x3F,
                                                r[1] & 0x7F, r[0] & 0x7F)


def flags(f):
    '''The flags byte of a set-time command or a time answer.'''
    if f == 0:
        return ''
    digit = f & 0x7F
    if digit > 9:
        return ' flags 0x%02X' % f
    return ' %s%d' % ('+' if f & 0x80 else '-', digit)


RECORD = ['second', 'minute', 'hour', 'weekday', 'day', 'month', 'year']


def host_command(code, p):
    '''Meaning and payload field names of a host-to-micom frame.'''
    names = ['payload'] * len(p)
    if code == 0x3 and p == [3, 3]:
        return 'display clock', names
    if code == 0x4 and len(p) >= 1:
        names = ['sub-command'] + ['argument'] * (len(p) - 1)
        if len(p) == 2 and p[0] == 0x00:
            return 'led %d' % p[1], ['sub-command', 'LED pattern']
        if p == [0x0C, 0x00]:
            return 'deep standby', names
        if len(p) == 9 and p[0] == 0x0C and p[1] == 0x01:
            return 'deep standby, wake-up ' + date(p[2:]), ['sub-command', 'wake-up'] + RECORD
        if p == [0x0F, 0x00]:
            return 'hand over to flash programmer', names
        if p == [0x55, 0x00]:
            return 'reboot', names
    if code == 0xA and p == [0x0A, 0x0A]:
        return 'get boot info', names
    if code == 0xC and len(p) == 8:
        return 'set time ' + date(p) + flags(p[7]), RECORD + ['flags']
    if code == 0xD and p == [0x0D, 0x0D]:
        return 'get time', names
    return 'command 0x%X length %d' % (code, len(p)), names


class Decoder(srd.Decoder):
    api_version = 3
    id = 'fpmicom'
    name = 'Front-panel micom'
    longname = 'Set-top box front-panel micom'
    desc = 'Micom frames (primary link) and flash programming (ISP link).'
    license = 'mit'
    inputs = ['uart']
    outputs = []
    tags = ['Embedded/industrial']
    options = (
        {'id': 'link', 'desc': 'Link (primary: 8N1 frames, isp: 8E1 flash programming)',
         'default': 'primary', 'values': ('primary', 'isp')},
    )
    annotations = (
        ('host-frame', 'Host to micom frame'),
        ('micom-frame', 'Micom to host frame'),
        ('host-field', 'Host to micom field'),
        ('micom-field', 'Micom to host field'),
        ('host-meaning', 'Host to micom meaning'),
        ('micom-meaning', 'Micom to host meaning'),
        ('warning', 'Warning'),
    )
    annotation_rows = (
        ('host-frames', 'Host frames', (0,)),
        ('host-fields', 'Host fields', (2,)),
        ('host-meanings', 'Host meaning', (4,)),
        ('micom-frames', 'Micom frames', (1,)),
        ('micom-fields', 'Micom fields', (3,)),
        ('micom-meanings', 'Micom meaning', (5,)),
        ('warnings', 'Warnings', (6,)),
    )

    def __init__(self):
        self.reset()

    def reset(self):
        self.samplerate = None
        # primary link: the group being read, per direction
        self.group = {HOST: None, MICOM: None}
        self.held = 0
        # ISP link: the host's unit, the micom's run of its answer
        self.unit = None
        self.host_line = None
        self.run = None
        self.data_left = 0
        self.data_address = 0

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)

    def metadata(self, key, value):
        if key == srd.SRD_CONF_SAMPLERATE:
            self.samplerate = value

    # ---- output ----

    def emit(self, d, line, meaning, fields, warnings):
        '''A line: its frame, its fields byte by byte, its meaning, its warnings.'''
        ss, es = line['ss'][0], line['es'][-1]
        text = ' '.join('%02X' % b for b in line['bytes'])
        self.put(ss, es, self.out_ann, [A_FRAME[d], [DIRECTION[d] + ' ' + text, text]])
        for i, name in enumerate(fields):
            self.put(line['ss'][i], line['es'][i], self.out_ann, [A_FIELD[d], [name]])
        self.put(ss, es, self.out_ann, [A_MEANING[d], [meaning]])
        for w in warnings:
            self.put(ss, es, self.out_ann, [A_WARNING, [w]])

    @staticmethod
    def new_line(ss, es):
        return {'bytes': [], 'ss': [], 'es': [], 'first_ss': ss, 'last_es': es}

    @staticmethod
    def add(line, b, ss, es):
        line['bytes'].append(b)
        line['ss'].append(ss)
        line['es'].append(es)
        line['last_es'] = es

    # ---- primary link ----

    @staticmethod
    def frame_length(g):
        low = g[2] & 0x0F
        if low:
            return low + 4
        if len(g) < 4:
            return 0
        if g[3] == g[1] ^ g[2]:
            return 4
        if 16 <= g[3] <= 32:
            return g[3] + 5
        return 4

    def micom_frame(self, cl, p, cs):
        if cl == 0xA8:
            names = RECORD + ['wake-up status']
            if p[7] == 0:
                return 'boot info: no wake-up', names
            return 'boot info: wake-up %s status %d' % (date(p), p[7]), names
        if cl == 0xD8:
            return 'time ' + date(p) + flags(p[7]), RECORD + ['flags']
        if cl == 0xE5:
            names = ['first', 'second', 'address', 'key', 'paired key']
            if p == [0x02, 0x12, 0x12, 0x00, 0xFF] and cs == 0xC7:
                return 'front power key', names
            src = {0x5F: 'remote', 0x12: 'front'}.get(p[2], 'address 0x%02X' % p[2])
            if p[2] not in (0x5F, 0x12):
                return 'key 0x%02X %s' % (p[3], src), names
            # as the driver reads them: the same two bytes again repeat the
            # key held, the two swapped release it, anything else presses one
            code, swapped = p[3] << 8 | p[4], p[4] << 8 | p[3]
            if self.held and code == self.held:
                return 'key 0x%02X %s repeat' % (p[3], src), names
            if self.held and swapped == self.held:
                self.held = 0
                return 'key 0x%02X %s release' % (p[4], src), names
            self.held = code
            return 'key 0x%02X %s' % (p[3], src), names
        return 'frame type 0x%02X' % cl, ['payload'] * len(p)

    def primary_meaning(self, g):
        '''Meaning, field names and warnings of a group of bytes.'''
        if g[0] != 0xAA:
            return 'no frame', ['no frame'] * len(g), ['bytes outside a frame']
        n = self.frame_length(g) if len(g) >= 3 else 0
        if n == 0 or len(g) < n:
            return 'frame cut short', ['cut short'] * len(g), ['frame cut short']
        long_form = n > 4 and (g[2] & 0x0F) == 0
        p = g[4 if long_form else 3:n - 1]
        fields = ['start', 'direction ' + {0x20: 'host>micom', 0xDF: 'micom>host'}.get(
            g[1], '0x%02X' % g[1]), 'code 0x%X length %d' % (g[2] >> 4, g[2] & 0x0F)]
        if long_form:
            fields.append('length %d' % g[3])
        if g[1] == 0x20:
            m, names = host_command(g[2] >> 4, p)
        elif g[1] == 0xDF:
            m, names = self.micom_frame(g[2], p, g[n - 1])
        else:
            m, names = 'unknown direction 0x%02X' % g[1], ['payload'] * len(p)
        fields += names
        s = 0
        for b in g[1:n - 1]:
            s ^= b
        warnings = []
        if s != g[n - 1]:
            m += ', wrong checksum'
            fields.append('checksum, 0x%02X expected' % s)
            warnings.append('wrong checksum 0x%02X, 0x%02X expected' % (g[n - 1], s))
        else:
            fields.append('checksum')
        return m, fields, warnings

    def close_group(self, d):
        g = self.group[d]
        if g is None:
            return
        self.group[d] = None
        m, fields, warnings = self.primary_meaning(g['bytes'])
        self.emit(d, g, m, fields, warnings)

    def primary_byte(self, d, b, ss, es):
        g = self.group[d]
        # a pause longer than one character ends a frame
        if g is not None and ss > g['last_es'] + (es - ss):
            self.close_group(d)
        # a start byte ends whatever was not a frame
        g = self.group[d]
        if g is not None and g['bytes'][0] != 0xAA and b == 0xAA:
            self.close_group(d)
        if self.group[d] is None:
            self.group[d] = self.new_line(ss, es)
        g = self.group[d]
        self.add(g, b, ss, es)
        if g['bytes'][0] == 0xAA and len(g['bytes']) >= 3:
            n = self.frame_length(g['bytes'])
            if n and len(g['bytes']) >= n:
                self.close_group(d)

    # ---- ISP link ----

    @staticmethod
    def unit_name(u):
        k, sent = u['kind'], u['sent']
        if k == 'sync':
            return 'sync'
        if k == 'data':
            return 'data byte at 0x%04X' % u['address']
        if k == 'command':
            block = sent[1] if len(sent) > 1 else 0
            return {0xB0: 'checksum', 0x20: 'erase', 0x30: 'erase verify',
                    0x40: 'block 0x%02X programming' % block,
                    0x19: 'block 0x%02X verify' % block}.get(sent[0], 'command 0x%02X' % sent[0])
        if k == 'standard':
            if len(sent) < 3:
                return 'standard frame'
            return {0x00: 'standard reset', 0x90: 'standard frequency set',
                    0xB0: 'standard checksum', 0x20: 'standard erase',
                    0x40: 'standard programming'}.get(sent[2], 'standard command 0x%02X' % sent[2])
        return ''

    @staticmethod
    def host_fields(u):
        k, n = u['kind'], len(u['sent'])
        if k == 'sync':
            return ['sync']
        if k == 'data':
            return ['data']
        if k == 'command':
            return ['command', 'block', 'fixed 00', 'fixed FF'][:n]
        return (['SOH', 'LEN', 'COM'] + ['data'] * max(0, n - 5) + ['SUM', 'ETX'])[:n]

    def close_host(self):
        line, u = self.host_line, self.unit
        if line is None:
            return
        self.host_line = None
        m, warnings = self.unit_name(u), []
        if u['kind'] == 'standard' and sum(u['sent'][1:-1]) % 256 != 0:
            m += ', wrong checksum'
            warnings.append('wrong checksum')
        self.emit(HOST, line, m, self.host_fields(u), warnings)

    def close_run(self):
        r = self.run
        if r is None:
            return
        self.run = None
        b, roles = r['bytes'], r['roles']
        parts, fields, warnings = [], [], []

        def part(s):
            if not parts or parts[-1] != s:
                parts.append(s)
        i = 0
        while i < len(roles):
            role = roles[i]
            if role == 'echo':
                j, differs = i, False
                while j < len(roles) and roles[j] == 'echo':
                    differs = differs or r['differs'][j]
                    fields.append('echo')
                    j += 1
                part('echo differs' if differs else 'echo')
                if differs:
                    warnings.append('echo differs from what the host sent')
                i = j
                continue
            if role == 'status':
                s = {0x06: 'ACK', 0x15: 'NAK'}.get(b[i], 'status 0x%02X' % b[i])
                part(s)
                fields.append(s)
            elif role == 'value-low':
                if i + 1 < len(roles) and roles[i + 1] == 'value-high':
                    part('value 0x%04X' % (b[i] | b[i + 1] << 8))
                    fields += ['value low', 'value high']
                    i += 2
                    continue
                part('value low byte 0x%02X' % b[i])
                fields.append('value low')
            elif role == 'value-high':
                part('value high byte 0x%02X' % b[i])
                fields.append('value high')
            elif role == 'sync-answer':
                part('answer' if b[i] == 0xAA else 'unexpected')
                fields.append('sync answer')
            elif role == 'answer':
                part('answer')
                fields.append('answer')
            else:
                part('unexpected')
                fields.append('unexpected')
                warnings.append('unexpected byte from the micom')
            i += 1
        name = self.unit_name(self.unit) if r['answers'] and self.unit else ''
        m = name
        for k, s in enumerate(parts):
            m += (', ' if k else (' ' if m else '')) + s
        self.emit(MICOM, r, m, fields, warnings[:1])

    def isp_host_byte(self, b, ss, es):
        if self.host_line is None:
            # a new unit: what the micom sends from now on answers it
            self.close_run()
            u = {'kind': None, 'sent': [], 'need': 0, 'address': 0, 'answer': [],
                 'answered': 0, 'echoed': 0}
            if self.data_left:
                u.update(kind='data', need=1, address=self.data_address,
                         answer=['echo', 'status'])
                self.data_address += 1
                self.data_left -= 1
            elif b == 0xAA:
                u.update(kind='sync', need=1, answer=['sync-answer'])
            elif b == 0x01:
                u.update(kind='standard', need=2)  # until the length byte says more
            else:
                u.update(kind='command', need=4, answer=['echo'] * 4 + ['status'])
                if b == 0xB0:
                    u['answer'] += ['value-low', 'value-high']
            self.unit = u
            self.host_line = self.new_line(ss, es)
        u = self.unit
        self.add(self.host_line, b, ss, es)
        u['sent'].append(b)
        if u['kind'] == 'standard' and len(u['sent']) == 2:
            u['need'] = b + 4  # 01 LEN COM data SUM 03
        if len(u['sent']) >= u['need']:
            if u['kind'] == 'command' and u['sent'][0] == 0x40:
                # the block's 256 bytes follow, whatever the answer
                self.data_left = 256
                self.data_address = u['sent'][1] * 256
            self.close_host()

    def isp_micom_byte(self, b, ss, es):
        u = self.unit
        if self.run is not None:
            pause = max(es - ss, ISP_ANSWER_PAUSE * (self.samplerate or 0))
            if ss > self.run['last_es'] + pause:
                self.close_run()
        if self.run is None:
            self.run = self.new_line(ss, es)
            self.run.update(roles=[], differs=[], answers=u is not None and (
                u['kind'] == 'standard' or u['answered'] < len(u['answer'])))
        role = 'unexpected'
        if u is not None and u['kind'] == 'standard':
            role = 'answer'
        elif u is not None and u['answered'] < len(u['answer']):
            role = u['answer'][u['answered']]
            u['answered'] += 1
        differs = False
        if role == 'echo':
            differs = u['echoed'] >= len(u['sent']) or u['sent'][u['echoed']] != b
            u['echoed'] += 1
        self.add(self.run, b, ss, es)
        self.run['roles'].append(role)
        self.run['differs'].append(differs)
        if role not in ('unexpected', 'answer') and u['answered'] == len(u['answer']):
            self.close_run()  # the answer is whole; what follows is unexpected

    # ---- input ----

    def decode(self, ss, es, data):
        ptype, rxtx, pdata = data
        if ptype in ('PARITY ERROR', 'INVALID STARTBIT', 'INVALID STOPBIT'):
            self.put(ss, es, self.out_ann, [A_WARNING, [
                '%s on %s: is the UART decoder set to the link\'s format '
                '(primary 8N1, isp 8E1) and speed?' % (ptype.lower(), DIRECTION[rxtx])]])
            return
        if ptype == 'IDLE' and self.options['link'] == 'primary':
            # a pause longer than one character ends a frame
            self.close_group(rxtx)
            return
        if ptype != 'FRAME':
            return
        b = pdata[0]
        if self.options['link'] == 'primary':
            self.primary_byte(rxtx, b, ss, es)
        elif rxtx == HOST:
            self.isp_host_byte(b, ss, es)
        else:
            self.isp_micom_byte(b, ss, es)
