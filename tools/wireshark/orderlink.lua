-- OrderLink radio link frames in the gateway's flight-recorder captures.
--
-- The recorder writes pcapng with link type USER0 (147), one interface per station port,
-- each packet either a chunk the gateway read from a station (inbound) or a frame it
-- wrote (outbound). Reads are cut by inter-byte gaps, so an inbound chunk may hold part
-- of a frame or several frames: inbound bytes are joined per interface and each frame is
-- shown whole in the packet that completes it.
--
-- Only what the link fixes is decoded. Bytes the stations and handhelds may fill as they
-- like (the rest of a request-pending answer, a confirmation after its 04, the channel
-- answer's bytes 2 and 4, a download acknowledgement's last two bytes, the request stamp
-- beyond its time of day) are shown as open bytes and never judged.
--
--   tshark -X lua_script:orderlink.lua -r capture.pcapng
-- or copy this file into Wireshark's personal plugins folder.

local ol = Proto("orderlink", "OrderLink radio link")

local CODE_NAMES = {
  "DL", "XGMM", "KT", "HT", "BT", "CT", "XGTT", "DC", "TC", "ZZCC", "CPCC",
  "ZDCX", "KXHZ", "LBKX", "THKX", "YDHZ", "THYD", "ZLQR", "KHKH", "PYKH", "DYJZ", "GT",
  "CLCC", "ZKMD", "JC", "DYDC", "GQ", "LSC", "XGJQ", "XJJZ", "QCJE", "KHYQ",
}
local FIRST_CODE = 0x4C
local code_vals = {}
for i, name in ipairs(CODE_NAMES) do code_vals[FIRST_CODE + i - 1] = name end

local INBOUND, OUTBOUND = 1, 2
-- A frame's start older than this is not joined with a later read: the line went quiet.
local MAX_GAP_SECONDS = 1.0
-- The gateway's timing: polls, repeated acknowledgements, resent replies (frame bytes
-- plus this many ms, the first resend after two such intervals).
local POLL_MS, ACK_REPEAT_MS, RESEND_EXTRA_MS = 70, 300, 60

-- Where the dissector hangs: one of the user link types, or none when the user maps it in
-- Edit > Preferences > Protocols > DLT_USER.
local encap_choices = { { 1, "None (map it in DLT_USER)", 0 } }
for n = 0, 15 do
  encap_choices[#encap_choices + 1] = { n + 2, string.format("USER%d (%d)", n, 147 + n), 147 + n }
end
ol.prefs.link_type = Pref.enum("Link type", 147, "The pcapng link type of the captures",
                               encap_choices, false)
ol.prefs.tolerance = Pref.uint("Timing tolerance (ms)", 20,
                               "How far a poll, a repeated acknowledgement or a resent reply " ..
                               "may stray from its figure before it is marked")

local f = {
  kind = ProtoField.string("orderlink.kind", "Frame kind"),
  station = ProtoField.uint8("orderlink.station", "Station", base.DEC),
  handheld = ProtoField.uint8("orderlink.handheld", "Handheld", base.DEC),
  channel = ProtoField.uint8("orderlink.channel", "Channel", base.DEC),
  total = ProtoField.uint8("orderlink.total", "Packets in request", base.DEC),
  index = ProtoField.uint8("orderlink.index", "Packet number", base.DEC),
  data = ProtoField.bytes("orderlink.data", "Data"),
  length = ProtoField.uint16("orderlink.length", "Length", base.DEC),
  stamp = ProtoField.bytes("orderlink.stamp", "Stamp"),
  stamp_time = ProtoField.string("orderlink.stamp.time", "Stamp time"),
  code = ProtoField.uint8("orderlink.code", "Request code", base.HEX, code_vals),
  request = ProtoField.string("orderlink.request", "Request kind"),
  payload = ProtoField.bytes("orderlink.payload", "Request data"),
  request_text = ProtoField.string("orderlink.request_text", "Request text"),
  answer = ProtoField.string("orderlink.answer", "Answer"),
  accepted = ProtoField.bool("orderlink.accepted", "Packet accepted"),
  header = ProtoField.bytes("orderlink.header", "Header bytes"),
  time = ProtoField.string("orderlink.time", "Date and time"),
  text = ProtoField.string("orderlink.text", "Text"),
  text_end = ProtoField.bytes("orderlink.text_end", "End of text"),
  padding = ProtoField.bytes("orderlink.padding", "Padding"),
  text_check = ProtoField.uint16("orderlink.text_check", "Text check", base.HEX),
  check = ProtoField.uint16("orderlink.check", "Check", base.HEX),
  check_ok = ProtoField.bool("orderlink.check_ok", "Check correct"),
  table = ProtoField.uint8("orderlink.table", "Table", base.DEC),
  table_count = ProtoField.uint8("orderlink.table_count", "Tables", base.DEC),
  handheld_count = ProtoField.uint8("orderlink.handheld_count", "Handhelds", base.DEC),
  last_index = ProtoField.uint16("orderlink.last_index", "Last data index", base.DEC),
  data_index = ProtoField.uint16("orderlink.data_index", "Data index", base.DEC),
  open = ProtoField.bytes("orderlink.open", "Open bytes"),
  first_frame = ProtoField.framenum("orderlink.first_frame", "Frame begins in", base.NONE),
  spans = ProtoField.string("orderlink.spans", "Read in frames"),
  completed_in = ProtoField.framenum("orderlink.completed_in", "Frame completed in", base.NONE),
  partial = ProtoField.bytes("orderlink.partial", "Start of a frame"),
  unknown = ProtoField.bytes("orderlink.unknown", "Unrecognised bytes"),
  packets = ProtoField.string("orderlink.packets", "Request packets in frames"),
  request_in = ProtoField.framenum("orderlink.request_in", "Request in", base.NONE,
                                   frametype.REQUEST),
  response_in = ProtoField.framenum("orderlink.response_in", "Reply in", base.NONE,
                                    frametype.RESPONSE),
  response_time = ProtoField.relative_time("orderlink.response_time", "Response time"),
  confirms = ProtoField.framenum("orderlink.confirms", "Confirms the reply in", base.NONE,
                                 frametype.ACK),
  confirmed_in = ProtoField.framenum("orderlink.confirmed_in", "Confirmed in", base.NONE),
  gap = ProtoField.relative_time("orderlink.gap", "Since the previous one"),
}
local fields = {}
for _, field in pairs(f) do fields[#fields + 1] = field end
ol.fields = fields

local e = {
  bad_check = ProtoExpert.new("orderlink.bad_check", "Bad check value",
                              expert.group.CHECKSUM, expert.severity.ERROR),
  bad_length = ProtoExpert.new("orderlink.bad_length", "Wrong length",
                               expert.group.MALFORMED, expert.severity.ERROR),
  layout = ProtoExpert.new("orderlink.bad_layout", "Frame layout is wrong",
                           expert.group.MALFORMED, expert.severity.ERROR),
  unknown = ProtoExpert.new("orderlink.unrecognised", "Bytes that start no frame",
                            expert.group.MALFORMED, expert.severity.WARN),
  truncated = ProtoExpert.new("orderlink.truncated", "Frame cut short",
                              expert.group.MALFORMED, expert.severity.ERROR),
  partial = ProtoExpert.new("orderlink.partial_frame", "Frame continues in a later read",
                            expert.group.REASSEMBLE, expert.severity.NOTE),
  abandoned = ProtoExpert.new("orderlink.abandoned", "Start of a frame never completed",
                              expert.group.REASSEMBLE, expert.severity.WARN),
  cadence = ProtoExpert.new("orderlink.timing", "Off the gateway's timing",
                            expert.group.SEQUENCE, expert.severity.WARN),
}
ol.experts = {}
for _, x in pairs(e) do ol.experts[#ol.experts + 1] = x end

local interface_field = Field.new("frame.interface_id")
local comment_field = Field.new("frame.comment")
local interface_name_field = Field.new("frame.interface_name")

local function name_of_code(code)
  return code_vals[code] or string.format("%02X", code)
end

local function sum16(tvb, from, len)
  local s, sum = tvb:raw(from, len), 0
  for i = 1, #s do sum = (sum + s:byte(i)) % 65536 end
  return sum
end

local function sum16s(s, from, to)
  local sum = 0
  for i = from, to do sum = (sum + s:byte(i)) % 65536 end
  return sum
end

-- What the frame being dissected was found to break, for the Info column.
local faults = {}

-- Adds the check value at `at` over `len` bytes from `from`; flags it when wrong.
local function add_check(tree, tvb, at, from, len, field)
  local want, range = sum16(tvb, from, len), tvb(at, 2)
  local item = tree:add(field or f.check, range)
  local ok = range:uint() == want
  if ok then
    item:append_text(" [correct]")
  else
    item:append_text(string.format(" [incorrect, should be 0x%04x]", want))
    item:add_proto_expert_info(e.bad_check)
    faults[#faults + 1] = "bad check"
  end
  tree:add(f.check_ok, range, ok):set_generated()
  return ok
end

local function add_open(tree, tvb, at, len)
  if len > 0 then tree:add(f.open, tvb(at, len)):append_text(" (left open by the link)") end
end

-- The stamp: its first three bytes are a time of day, read as the hex digits of bytes
-- 2, 1 and 0; the other three are open.
local function add_stamp(tree, tvb, at)
  local st = tree:add(f.stamp, tvb(at, 6))
  local when = string.format("%02X:%02X:%02X", tvb(at + 2, 1):uint(), tvb(at + 1, 1):uint(),
                             tvb(at, 1):uint())
  st:add(f.stamp_time, tvb(at, 3), when)
  add_open(st, tvb, at + 3, 3)
  st:append_text(" (" .. when .. ")")
end

local function add_code(tree, tvb, at)
  local code = tvb(at, 1):uint()
  tree:add(f.code, tvb(at, 1))
  tree:add(f.request, tvb(at, 1), name_of_code(code)):set_generated()
  return name_of_code(code)
end

local function address(tree, tvb, at)
  tree:add(f.station, tvb(at, 1))
  tree:add(f.handheld, tvb(at + 1, 1))
  return string.format("st=%d hh=%d", tvb(at, 1):uint(), tvb(at + 1, 1):uint())
end

-- Per-packet facts that need the packets before (and after) it, worked out once in
-- capture order: see `first_visit` below.
local facts = {}

-- Seconds as a time span, to the microsecond the capture holds.
local function span(seconds)
  local us = math.floor(seconds * 1e6 + 0.5)
  return NSTime.new(math.floor(us / 1e6), (us % 1000000) * 1000)
end

local function add_timing(t, tvb, fact)
  if not fact or not fact.gap then return end
  local gap = t:add(f.gap, tvb(), span(fact.gap))
  gap:set_generated()
  if fact.timing then
    gap:add_proto_expert_info(e.cadence, fact.timing)
    faults[#faults + 1] = "timing"
  end
end

-- Frame dissectors: each fills the subtree and returns its kind and an Info summary.

local function channel_answer(tvb, t)
  add_open(t, tvb, 2, 1)
  t:add(f.channel, tvb(3, 1), tvb(3, 1):uint() + 1):append_text(" (sent from 0)")
  add_open(t, tvb, 4, 1)
  return "Channel answer", string.format("channel %d", tvb(3, 1):uint() + 1)
end

local function channel_ack(tvb, t)
  add_open(t, tvb, 2, tvb:len() - 2)
  return "Channel-setting acknowledgement", ""
end

local function request_pending(tvb, t)
  local info = address(t, tvb, 1)
  add_open(t, tvb, 3, tvb:len() - 3)
  return "Request pending", info
end

local function request_packet(tvb, t, pinfo)
  local info = address(t, tvb, 1)
  local total, index = tvb(3, 1):uint(), tvb(4, 1):uint()
  t:add(f.total, tvb(3, 1))
  t:add(f.index, tvb(4, 1))
  add_open(t, tvb, 5, 2)
  local d = t:add(f.data, tvb(7, 48))
  info = string.format("%d/%d %s", index, total, info)
  local fact = facts[pinfo.number]
  local req = fact and fact.request
  -- The request's first packet opens with its length, stamp and code; the packet that
  -- completes a request shows the whole of it instead.
  if index == 1 and not req then
    d:add(f.length, tvb(7, 2))
    add_stamp(d, tvb, 9)
    info = info .. " " .. add_code(d, tvb, 15)
  end
  add_check(t, tvb, 55, 0, 55)
  if req then
    -- The data of all its packets: length, stamp, code, payload, four more bytes.
    local data = ByteArray.new(req.data, true):tvb("Request data")
    local r = t:add(f.data, data()):set_text("Whole request, " .. #req.frames .. " packet(s)")
    r:add(f.packets, data(), table.concat(req.frames, ", ")):set_generated()
    local length = data(0, 2):uint()
    r:add(f.length, data(0, 2))
    add_stamp(r, data, 2)
    local name = add_code(r, data, 8)
    local n = math.max(0, math.min(length - 9, data:len() - 9))
    if n > 0 then
      r:add(f.payload, data(9, n))
      local raw = data:raw(9, n)
      local zero = raw:find("\0", 1, true)
      local tlen = zero and zero - 1 or n
      if tlen > 0 then r:add(f.request_text, data(9, tlen), data(9, tlen):string(ENC_GB18030)) end
    end
    if data:len() > 9 + n then add_open(r, data, 9 + n, data:len() - 9 - n) end
    info = info .. " " .. name
    if req.reply then
      t:add(f.response_in, tvb(), req.reply):set_generated()
    end
  end
  return "Request packet", info
end

local function confirmation(tvb, t, pinfo)
  add_open(t, tvb, 1, 8)
  local fact = facts[pinfo.number]
  if fact and fact.confirms then t:add(f.confirms, tvb(), fact.confirms):set_generated() end
  return "Confirmation", ""
end

local function download_ack(tvb, t)
  local info = address(t, tvb, 1)
  add_open(t, tvb, 3, 2)
  return "Download acknowledgement", info
end

local function gateway_aa(tvb, t, pinfo)
  local b1, b2, b4 = tvb(1, 1):uint(), tvb(2, 1):uint(), tvb(4, 1):uint()
  if tvb:raw(0, 5) == "\170\64\0\0\187" then return "Channel query", "" end
  if b1 == 0x49 and b2 == 0xFF and b4 == 0xBB then
    local ch = tvb(3, 1):uint() + 1
    t:add(f.channel, tvb(3, 1), ch):append_text(" (sent from 0)")
    return "Channel setting", "channel " .. ch
  end
  local info = address(t, tvb, 1)
  add_check(t, tvb, 3, 0, 3)
  add_timing(t, tvb, facts[pinfo.number])
  return "Poll", info
end

local function packet_ack(tvb, t, pinfo)
  local info = address(t, tvb, 1)
  t:add(f.total, tvb(3, 1))
  t:add(f.index, tvb(4, 1))
  local word = tvb:raw(5, 2)
  local answer = t:add(f.answer, tvb(5, 2))
  if word == "OK" or word == "NO" then
    t:add(f.accepted, tvb(5, 2), word == "OK"):set_generated()
  else
    answer:add_proto_expert_info(e.layout, "Answer is neither OK nor NO")
    faults[#faults + 1] = "bad layout"
  end
  add_check(t, tvb, 7, 0, 7)
  add_timing(t, tvb, facts[pinfo.number])
  return "Packet acknowledgement",
         string.format("%d/%d %s %s", tvb(4, 1):uint(), tvb(3, 1):uint(), info, word)
end

-- Spaces that follow AA BB for a text of n bytes.
local function padding_for(n)
  if n > 220 and n < 250 then return 250 - n end
  return 0
end

local function body_fits(raw, n)
  if #raw ~= n + 2 + padding_for(n) then return false end
  if raw:sub(n + 1, n + 2) ~= "\170\187" then return false end
  return raw:sub(n + 3):match("^ *$") ~= nil
end

-- Bytes a reply frame of length field L takes.
local function reply_size(L, code)
  return 9 + L + (code == FIRST_CODE and 6 or 0) + 4
end

local function reply(tvb, t, pinfo, length_wrong)
  local info = address(t, tvb, 1)
  local header = t:add(f.header, tvb(3, 4))
  if tvb:raw(3, 4) ~= "UUU\0" then
    header:add_proto_expert_info(e.layout, "Header is not 55 55 55 00")
    faults[#faults + 1] = "bad layout"
  end
  local code = tvb(15, 1):uint()
  local len = tvb:len()
  local lf = t:add(f.length, tvb(7, 2))
  if length_wrong then
    local holds = len - 13 - (code == FIRST_CODE and 6 or 0)
    lf:append_text(string.format(" [wrong: the frame holds %d]", holds))
    lf:add_proto_expert_info(e.bad_length, string.format(
      "Length field says %d, the frame holds %d", tvb(7, 2):uint(), holds))
    faults[#faults + 1] = "wrong length"
  end
  add_stamp(t, tvb, 9)
  info = info .. " " .. add_code(t, tvb, 15)
  local pos = 16
  if code == FIRST_CODE then
    local v = {}
    for i = 0, 5 do
      local b = tvb(pos + i, 1):uint()
      local hi, lo = math.floor(b / 16), b % 16
      v[i + 1] = (hi <= 9 and lo <= 9) and hi * 10 + lo or nil
    end
    local ti
    if v[1] and v[2] and v[3] and v[4] and v[5] and v[6] then
      ti = t:add(f.time, tvb(pos, 6), string.format("20%02d-%02d-%02d %02d:%02d:%02d",
                                                    v[6], v[5], v[4], v[3], v[2], v[1]))
    else
      ti = t:add(f.time, tvb(pos, 6), "not BCD")
      ti:add_proto_expert_info(e.layout, "Time bytes are not BCD")
      faults[#faults + 1] = "bad layout"
    end
    pos = pos + 6
  end
  local body = tvb:raw(pos, len - 4 - pos)
  -- Text, AA BB, spaces: the text length follows from the body's size, except that texts
  -- of 221 to 250 bytes all fill a 252-byte body and the AA BB marker decides.
  local n, found = #body - 2, body_fits(body, #body - 2)
  if not found and #body == 252 then
    for m = 249, 221, -1 do
      if body_fits(body, m) then n, found = m, true break end
    end
  end
  if n < 0 then n = 0 end
  local text_item = t:add_packet_field(f.text, tvb(pos, n), ENC_GB18030)
  if not found then
    text_item:add_proto_expert_info(e.layout, "Text, AA BB and spaces do not fit")
    faults[#faults + 1] = "bad layout"
  end
  if #body >= n + 2 then t:add(f.text_end, tvb(pos + n, 2)) end
  if #body > n + 2 then t:add(f.padding, tvb(pos + n + 2, #body - n - 2)) end
  add_check(t, tvb, len - 4, pos, len - 4 - pos, f.text_check)
  add_check(t, tvb, len - 2, 0, len - 2)
  local fact = facts[pinfo.number]
  if fact then
    if fact.request then
      t:add(f.request_in, tvb(), fact.request.frames[#fact.request.frames]):set_generated()
      t:add(f.response_time, tvb(), span(fact.request.replied_after)):set_generated()
    end
    if fact.confirmed_in then t:add(f.confirmed_in, tvb(), fact.confirmed_in):set_generated() end
    add_timing(t, tvb, fact)
  end
  return "Reply", info
end

local function download_search(tvb, t)
  t:add(f.station, tvb(1, 1))
  t:add(f.table, tvb(2, 1))
  local n = tvb(3, 1):uint()
  t:add(f.handheld_count, tvb(3, 1))
  local list = {}
  for i = 0, n - 1 do
    t:add(f.handheld, tvb(4 + i, 1))
    list[#list + 1] = tostring(tvb(4 + i, 1):uint())
  end
  add_check(t, tvb, 4 + n, 0, 4 + n)
  return "Download search", string.format("st=%d table %d hh=%s", tvb(1, 1):uint(),
                                          tvb(2, 1):uint(), table.concat(list, ","))
end

local function download_data(tvb, t)
  t:add(f.station, tvb(1, 1))
  t:add(f.table_count, tvb(3, 1))
  t:add(f.table, tvb(4, 1))
  t:add(f.last_index, tvb(5, 2))
  t:add(f.data_index, tvb(7, 2))
  t:add(f.data, tvb(9, 128))
  add_check(t, tvb, 137, 0, 137)
  return "Download data", string.format("st=%d table %d index %d/%d", tvb(1, 1):uint(),
                                        tvb(4, 1):uint(), tvb(7, 2):uint(), tvb(5, 2):uint())
end

-- Framing: the length of the frame that starts at byte i of s, 0 while more bytes are
-- needed to tell, or -1 when no frame starts there. REST: the frame takes the rest of
-- what was read, as the gateway takes it.
local REST = -2

local inbound = {
  names = { [0xAA] = "Channel answer", [0xA5] = "Request pending", [0x01] = "Request packet",
            [0x04] = "Confirmation", [0x0A] = "Download acknowledgement" },
  length = function(s, i, after_setting)
    local b = s:byte(i)
    if b == 0xAA then
      if #s < i + 1 then return 0 end
      if s:byte(i + 1) ~= 0x4F then return -1 end
      -- Right after a channel setting, a read beginning AA 4F acknowledges it whole.
      if after_setting and i == 1 then return REST end
      if #s < i + 5 then return 0 end
      -- AA 4F .. .. .. BB is a channel answer; any other read beginning AA 4F is the
      -- acknowledgement of a channel setting.
      return s:byte(i + 5) == 0xBB and 6 or REST
    end
    if b == 0xA5 then return #s >= i + 2 and REST or 0 end
    return ({ [0x01] = 57, [0x04] = 9, [0x0A] = 5 })[b] or -1
  end,
}
function inbound.dissect(ftvb, t, pinfo)
  local b = ftvb(0, 1):uint()
  if b == 0xAA then
    if ftvb:len() == 6 and ftvb(5, 1):uint() == 0xBB then return channel_answer(ftvb, t) end
    return channel_ack(ftvb, t)
  end
  return ({ [0xA5] = request_pending, [0x01] = request_packet, [0x04] = confirmation,
            [0x0A] = download_ack })[b](ftvb, t, pinfo)
end

local outbound = {
  names = { [0xAA] = "Poll or channel frame", [0x02] = "Packet acknowledgement",
            [0x03] = "Reply", [0x0A] = "Download frame" },
  length = function(s, i)
    local b = s:byte(i)
    if b == 0xAA then return 5 end
    if b == 0x02 then return 9 end
    if b == 0x03 then
      if #s < i + 15 then return 0 end
      return reply_size(s:byte(i + 7) * 256 + s:byte(i + 8), s:byte(i + 15))
    end
    if b == 0x0A then
      if #s < i + 3 then return 0 end
      if s:byte(i + 2) == 0 then return 139 end
      return 6 + s:byte(i + 3)
    end
    return -1
  end,
}
function outbound.dissect(ftvb, t, pinfo, length_wrong)
  local b = ftvb(0, 1):uint()
  if b == 0xAA then return gateway_aa(ftvb, t, pinfo) end
  if b == 0x02 then return packet_ack(ftvb, t, pinfo) end
  if b == 0x03 then return reply(ftvb, t, pinfo, length_wrong) end
  if ftvb(2, 1):uint() == 0 then return download_data(ftvb, t) end
  return download_search(ftvb, t)
end

-- The gateway writes one frame at a time, so a written packet whose length field does
-- not fit it but whose last check covers exactly its bytes is one frame with a wrong
-- length, not a frame cut short or two frames.
local function wrong_length(s, i)
  local b = s:byte(i)
  if i ~= 1 or (b ~= 0x03 and b ~= 0x0A) or #s < 16 then return false end
  if b == 0x0A and s:byte(3) == 0 then return false end
  local want = sum16s(s, 1, #s - 2)
  return s:byte(#s - 1) * 256 + s:byte(#s) == want
end

-- Splits s into frames {from, len} and runs of unrecognised bytes; returns them and the
-- position of an incomplete frame at the end (#s + 1 when there is none).
local function split(s, side, dir, after_setting)
  local items, pos, junk = {}, 1, nil
  while pos <= #s do
    local n = side.length(s, pos, after_setting)
    local length_wrong = false
    if n == REST then n = #s - pos + 1 end
    if dir == OUTBOUND and n > 0 and n ~= #s - pos + 1 and wrong_length(s, pos) then
      n, length_wrong = #s, true
    end
    if n == 0 or (n > 0 and pos + n - 1 > #s) then break end
    if n < 0 then
      junk = junk or pos
      pos = pos + 1
    else
      if junk then items[#items + 1] = { from = junk, len = pos - junk, junk = true } end
      junk = nil
      items[#items + 1] = { from = pos, len = n, length_wrong = length_wrong }
      pos = pos + n
    end
  end
  if junk then items[#items + 1] = { from = junk, len = pos - junk, junk = true } end
  return items, pos
end

-- State of the first visit in capture order: inbound bytes waiting for the rest of their
-- frame, requests being put together, the last frames for the timing checks.
local pending, joined, completed, last_visited = {}, {}, {}, 0
local uploads, open_requests, last_reply = {}, {}, {}
local last_poll, last_repeat, setting_sent = nil, {}, {}

function ol.init()
  pending, joined, completed, last_visited = {}, {}, {}, 0
  uploads, open_requests, last_reply = {}, {}, {}
  last_poll, last_repeat, setting_sent = nil, {}, {}
  facts = {}
end

local function field_value(field, default)
  local v = field()
  if v == nil then return default end
  return v.value
end

local function fact_of(number)
  facts[number] = facts[number] or {}
  return facts[number]
end

local function off_figure(gap, figure)
  return math.abs(gap * 1000 - figure) > ol.prefs.tolerance
end

-- The first visit of a frame in capture order: timing against the frames before it, the
-- request it completes, the reply that answers a request, the confirmation of a reply.
-- `now` is the packet's time; `iface` its interface; every whole frame of the packet in
-- order with its direction.
local function first_visit(number, now, iface, dir, frames, clock_set)
  local fact = fact_of(number)
  -- The recorder notes a wall clock set before this packet: no gap to it means anything.
  if clock_set then last_poll, last_repeat = nil, {} end
  local only_poll = #frames == 1 and dir == OUTBOUND and frames[1]:byte(1) == 0xAA and
                    #frames[1] == 5 and frames[1]:byte(2) ~= 0x40 and frames[1]:byte(2) ~= 0x49
  -- Polls go out every POLL_MS, the stations taking turns. One poll late is a station
  -- whose turn sent nothing; a second in a row is the cadence itself.
  if only_poll then
    if last_poll then
      local gap = now - last_poll.time
      fact.gap = gap
      local off = off_figure(gap, POLL_MS)
      if off and last_poll.off then
        fact.timing = string.format("Poll %.0f ms after the previous one; polls go out every " ..
                                    "%d ms (±%d ms)", gap * 1000, POLL_MS, ol.prefs.tolerance)
      end
      last_poll = { time = now, off = off }
    else
      last_poll = { time = now, off = false }
    end
  else
    last_poll = nil
  end

  -- The same acknowledgement or reply again with nothing read in between is a repeat:
  -- acknowledgements every ACK_REPEAT_MS, replies every frame bytes + RESEND_EXTRA_MS.
  local prev = last_repeat[iface]
  last_repeat[iface] = nil
  if dir == OUTBOUND and #frames == 1 then
    local frame, b = frames[1], frames[1]:byte(1)
    if b == 0x02 or b == 0x03 then
      local repeats = 0
      if prev and prev.frame == frame then
        repeats = prev.repeats + 1
        local gap = now - prev.time
        -- A reply's first resend waits two intervals: one before the resend timer starts.
        local figure = b == 0x02 and ACK_REPEAT_MS or
                       (#frame + RESEND_EXTRA_MS) * (repeats == 1 and 2 or 1)
        fact.gap = gap
        if off_figure(gap, figure) then
          fact.timing = string.format("%s repeated after %.0f ms; the gateway repeats it every " ..
                                      "%d ms (±%d ms)", b == 0x02 and "Acknowledgement" or "Reply",
                                      gap * 1000, figure, ol.prefs.tolerance)
        end
      end
      last_repeat[iface] = { frame = frame, time = now, repeats = repeats }
    end
  end

  for _, frame in ipairs(frames) do
    local b = frame:byte(1)
    if dir == INBOUND and b == 0x01 and #frame == 57 and
       sum16s(frame, 1, 55) == frame:byte(56) * 256 + frame:byte(57) then
      -- Good packets in arrival order (the gateway drops a bad one); a first packet
      -- starts a request again.
      local total, index = frame:byte(4), frame:byte(5)
      local up = uploads[iface]
      if index == 1 or not up then
        up = { data = "", frames = {} }
        uploads[iface] = up
      end
      up.data = up.data .. frame:sub(8, 55)
      up.frames[#up.frames + 1] = number
      if index >= total then
        uploads[iface] = nil
        up.complete, up.time = true, now
        up.stamp = up.data:sub(3, 8)
        local length = up.data:byte(1) * 256 + up.data:byte(2)
        up.data = up.data:sub(1, math.min(#up.data, length + 4))
        fact.request = up
        open_requests[iface] = up
      end
    elseif dir == OUTBOUND and b == 0x03 and #frame >= 16 then
      local req = open_requests[iface]
      if req and frame:sub(10, 15) == req.stamp then
        fact.request = req
        if not req.reply then
          req.reply, req.replied_after = number, now - req.time
        else
          req.replied_after = req.replied_after or now - req.time
        end
      end
      last_reply[iface] = number
    elseif dir == INBOUND and b == 0x04 and #frame == 9 then
      local r = last_reply[iface]
      if r then
        fact.confirms = r
        fact_of(r).confirmed_in = fact_of(r).confirmed_in or number
        last_reply[iface] = nil
      end
    end
  end
end

function ol.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "OrderLink"
  -- The frame dissector sets the direction from the packet's flags.
  local dir = ({ [0] = OUTBOUND, [1] = INBOUND })[pinfo.p2p_dir] or 0
  local side = dir == OUTBOUND and outbound or inbound
  local iface = field_value(interface_field, nil)
  local port = field_value(interface_name_field, "station port")
  if dir == OUTBOUND then
    pinfo.cols.src, pinfo.cols.dst = "gateway", port
  else
    pinfo.cols.src, pinfo.cols.dst = port, "gateway"
  end

  -- What needs the packets before this one is decided once, in capture order. It needs
  -- the interface, which a pass without a protocol tree (tshark -2's first) does not
  -- show; such a pass leaves it to the next.
  local visiting = iface ~= nil and pinfo.number > last_visited
  local join = joined[pinfo.number]
  if visiting then
    last_visited = pinfo.number
    join = { prefix = "", frames = {} }
    if dir ~= OUTBOUND then
      local p = pending[iface]
      if p and pinfo.abs_ts - p.time <= MAX_GAP_SECONDS then
        join = { prefix = p.bytes, frames = p.frames }
      elseif p then
        join.abandoned = p
      end
      join.after_setting = setting_sent[iface]
      setting_sent[iface] = nil
    else
      local raw = tvb:raw(0, math.min(tvb:len(), 3))
      setting_sent[iface] = tvb:len() == 5 and raw == "\170\73\255" or nil
    end
    joined[pinfo.number] = join
  end
  join = join or { prefix = "", frames = {} }

  local chunk = tvb:raw(0, tvb:len())
  local s = join.prefix .. chunk
  local plen = #join.prefix
  local items, rest = split(s, side, dir, join.after_setting and plen == 0)

  if visiting then
    local whole = {}
    for _, item in ipairs(items) do
      if not item.junk then whole[#whole + 1] = s:sub(item.from, item.from + item.len - 1) end
    end
    local comment = field_value(comment_field, "")
    first_visit(pinfo.number, pinfo.abs_ts, iface, dir, whole,
                comment:sub(1, 18) == "wall clock set by ")
  end

  local root = tree:add(ol, tvb())
  local summary = {}
  if join.abandoned then
    root:add_proto_expert_info(e.abandoned, string.format(
      "%d bytes read in frame %d began a frame that never came whole",
      #join.abandoned.bytes, join.abandoned.frames[1]))
  end

  for _, item in ipairs(items) do
    local off = item.from - 1 - plen
    local ftvb
    if off >= 0 then
      ftvb = tvb(off, item.len):tvb()
    else
      ftvb = ByteArray.new(s:sub(item.from, item.from + item.len - 1), true)
                      :tvb("Reassembled OrderLink frame")
    end
    if item.junk then
      local it = root:add(f.unknown, ftvb())
      it:add_proto_expert_info(e.unknown)
      root:add(f.kind, ftvb(), "Unrecognised"):set_generated()
      summary[#summary + 1] = string.format("Unrecognised (%d bytes)", item.len)
    else
      local t = root:add(ol, ftvb())
      faults = {}
      local kind, info = side.dissect(ftvb, t, pinfo, item.length_wrong)
      t:set_text(kind .. (info ~= "" and (": " .. info) or ""))
      t:add(f.kind, ftvb(), kind):set_generated()
      if off < 0 then
        local frames = {}
        for _, n in ipairs(join.frames) do frames[#frames + 1] = tostring(n) end
        frames[#frames + 1] = tostring(pinfo.number)
        t:add(f.first_frame, ftvb(), join.frames[1]):set_generated()
        t:add(f.spans, ftvb(), table.concat(frames, ", ")):set_generated()
        info = info .. " [reassembled]"
      end
      for _, fault in ipairs(faults) do info = info .. " [" .. fault .. "]" end
      summary[#summary + 1] = kind .. (info ~= "" and (" " .. info) or "")
    end
  end

  if rest <= #s then
    local lead = s:byte(rest)
    local kind = side.names[lead] or "Frame"
    local from = math.max(rest - 1 - plen, 0)
    local it = root:add(f.partial, tvb(from, tvb:len() - from))
    it:append_text(string.format(" (%s, %d bytes so far)", kind, #s - rest + 1))
    if dir == OUTBOUND then
      it:add_proto_expert_info(e.truncated)
    else
      it:add_proto_expert_info(e.partial)
      local done = completed[pinfo.number]
      if done then root:add(f.completed_in, tvb(from, tvb:len() - from), done):set_generated() end
    end
    summary[#summary + 1] = string.format("%s, part (%d bytes)", kind, #s - rest + 1)
  end

  if visiting and dir ~= OUTBOUND then
    if rest <= #s then
      local frames = {}
      if rest <= plen then for _, n in ipairs(join.frames) do frames[#frames + 1] = n end end
      frames[#frames + 1] = pinfo.number
      pending[iface] = { bytes = s:sub(rest), frames = frames, time = pinfo.abs_ts }
    else
      pending[iface] = nil
    end
    -- Reads that began a frame completed here learn where, for a later pass.
    if plen > 0 and (rest > plen) then
      for _, n in ipairs(join.frames) do completed[n] = pinfo.number end
    end
  end

  root:append_text(": " .. table.concat(summary, "; "))
  pinfo.cols.info = table.concat(summary, "; ")
  return tvb:len()
end

-- Registered on the link type chosen in the preferences (USER0 unless moved); "none"
-- leaves the link types to the user's DLT_USER table, where "orderlink" can be named.
local registered = nil
local function register()
  local wtap = DissectorTable.get("wtap_encap")
  if registered then wtap:remove(registered, ol) end
  registered = nil
  local dlt = ol.prefs.link_type
  if dlt >= 147 and dlt <= 162 then
    registered = wtap_encaps["USER" .. (dlt - 147)]
    wtap:add(registered, ol)
  end
end
function ol.prefs_changed() register() end
register()
