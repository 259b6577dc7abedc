-- OrderLink radio link frames in the gateway's flight-recorder captures.
--
-- The recorder writes pcapng with link type USER0 (147), one interface per station port,
-- each packet either a chunk the gateway read from a station (inbound) or a frame it
-- wrote (outbound). Reads are cut by inter-byte gaps, so an inbound chunk may hold part
-- of a frame or several frames: inbound bytes are joined per interface and each frame is
-- shown whole in the packet that completes it.
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
local MAX_REPLY_LENGTH = 1100

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
  stamp_serial = ProtoField.uint16("orderlink.stamp.serial", "Stamp serial", base.DEC),
  code = ProtoField.uint8("orderlink.code", "Request code", base.HEX, code_vals),
  request = ProtoField.string("orderlink.request", "Request kind"),
  payload = ProtoField.bytes("orderlink.payload", "Request data"),
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
  reply_length = ProtoField.uint16("orderlink.reply_length", "Reply length", base.DEC),
  filler = ProtoField.bytes("orderlink.filler", "Filler"),
  first_frame = ProtoField.framenum("orderlink.first_frame", "Frame begins in", base.NONE),
  spans = ProtoField.string("orderlink.spans", "Read in frames"),
  completed_in = ProtoField.framenum("orderlink.completed_in", "Frame completed in", base.NONE),
  partial = ProtoField.bytes("orderlink.partial", "Start of a frame"),
  unknown = ProtoField.bytes("orderlink.unknown", "Unrecognised bytes"),
}
local fields = {}
for _, field in pairs(f) do fields[#fields + 1] = field end
ol.fields = fields

local e = {
  bad_check = ProtoExpert.new("orderlink.bad_check", "Bad check value",
                              expert.group.CHECKSUM, expert.severity.ERROR),
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
}
ol.experts = { e.bad_check, e.layout, e.unknown, e.truncated, e.partial, e.abandoned }

local interface_field = Field.new("frame.interface_id")
local interface_name_field = Field.new("frame.interface_name")

local function name_of_code(code)
  return code_vals[code] or string.format("%02X", code)
end

local function sum16(tvb, from, len)
  local s, sum = tvb:raw(from, len), 0
  for i = 1, #s do sum = (sum + s:byte(i)) % 65536 end
  return sum
end

-- Whether a check of the frame being dissected failed, for the Info column.
local bad_check_seen = false

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
    bad_check_seen = true
  end
  tree:add(f.check_ok, range, ok):set_generated()
  return ok
end

local function bcd(byte)
  local hi, lo = math.floor(byte / 16), byte % 16
  if hi > 9 or lo > 9 then return nil end
  return hi * 10 + lo
end

-- Six bytes that tie a reply to its request: BCD seconds, minutes, hours, the handheld,
-- a 16-bit serial number.
local function add_stamp(tree, tvb, at)
  local st = tree:add(f.stamp, tvb(at, 6))
  local s, m, h = bcd(tvb(at, 1):uint()), bcd(tvb(at + 1, 1):uint()), bcd(tvb(at + 2, 1):uint())
  local when = (s and m and h) and string.format("%02d:%02d:%02d", h, m, s) or "not BCD"
  st:add(f.stamp_time, tvb(at, 3), when)
  st:add(f.handheld, tvb(at + 3, 1))
  st:add(f.stamp_serial, tvb(at + 4, 2))
  st:append_text(string.format(" (%s, serial %d)", when, tvb(at + 4, 2):uint()))
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

-- Frame dissectors: each fills the subtree and returns its kind and an Info summary.

local function channel_answer(tvb, t)
  t:add(f.station, tvb(2, 1))
  t:add(f.channel, tvb(3, 1), tvb(3, 1):uint() + 1):append_text(" (sent from 0)")
  return "Channel answer", string.format("st=%d channel %d", tvb(2, 1):uint(), tvb(3, 1):uint() + 1)
end

local function request_pending(tvb, t)
  return "Request pending", address(t, tvb, 1)
end

local function request_packet(tvb, t)
  local info = address(t, tvb, 1)
  local total, index = tvb(3, 1):uint(), tvb(4, 1):uint()
  t:add(f.total, tvb(3, 1))
  t:add(f.index, tvb(4, 1))
  t:add(f.filler, tvb(5, 2))
  local d = t:add(f.data, tvb(7, 48))
  info = string.format("%d/%d %s", index, total, info)
  -- The request's first packet opens with its length, stamp and code.
  if index == 1 then
    d:add(f.length, tvb(7, 2))
    add_stamp(d, tvb, 9)
    info = info .. " " .. add_code(d, tvb, 15)
    d:add(f.payload, tvb(16, 39))
  end
  add_check(t, tvb, 55, 0, 55)
  return "Request packet", info
end

local function confirmation(tvb, t)
  local info = address(t, tvb, 1) .. " " .. add_code(t, tvb, 3)
  t:add(f.reply_length, tvb(4, 2))
  t:add(f.filler, tvb(6, 1))
  add_check(t, tvb, 7, 0, 7)
  return "Confirmation", info
end

local function download_ack(tvb, t)
  local info = address(t, tvb, 1)
  t:add(f.data_index, tvb(3, 2))
  return "Download acknowledgement", info .. " index " .. tvb(3, 2):uint()
end

local function gateway_aa(tvb, t)
  local b1, b2, b4 = tvb(1, 1):uint(), tvb(2, 1):uint(), tvb(4, 1):uint()
  if tvb:raw(0, 5) == "\170\64\0\0\187" then return "Channel query", "" end
  if b1 == 0x49 and b2 == 0xFF and b4 == 0xBB then
    local ch = tvb(3, 1):uint() + 1
    t:add(f.channel, tvb(3, 1), ch):append_text(" (sent from 0)")
    return "Channel setting", "channel " .. ch
  end
  local info = address(t, tvb, 1)
  add_check(t, tvb, 3, 0, 3)
  return "Poll", info
end

local function packet_ack(tvb, t)
  local info = address(t, tvb, 1)
  t:add(f.total, tvb(3, 1))
  t:add(f.index, tvb(4, 1))
  local word = tvb:raw(5, 2)
  t:add(f.answer, tvb(5, 2))
  if word == "OK" or word == "NO" then
    t:add(f.accepted, tvb(5, 2), word == "OK"):set_generated()
  else
    t:add_proto_expert_info(e.layout, "Answer is neither OK nor NO")
  end
  add_check(t, tvb, 7, 0, 7)
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

local function reply(tvb, t)
  local info = address(t, tvb, 1)
  local header = t:add(f.header, tvb(3, 4))
  if tvb:raw(3, 4) ~= "UUU\0" then header:add_proto_expert_info(e.layout, "Header is not 55 55 55 00") end
  t:add(f.length, tvb(7, 2))
  add_stamp(t, tvb, 9)
  local code = tvb(15, 1):uint()
  info = info .. " " .. add_code(t, tvb, 15)
  local pos = 16
  if code == FIRST_CODE then
    local v = {}
    for i = 0, 5 do v[i + 1] = bcd(tvb(pos + i, 1):uint()) end
    local ti
    if v[1] and v[2] and v[3] and v[4] and v[5] and v[6] then
      ti = t:add(f.time, tvb(pos, 6), string.format("20%02d-%02d-%02d %02d:%02d:%02d",
                                                    v[6], v[5], v[4], v[3], v[2], v[1]))
    else
      ti = t:add(f.time, tvb(pos, 6), "not BCD")
      ti:add_proto_expert_info(e.layout, "Time bytes are not BCD")
    end
    pos = pos + 6
  end
  local len = tvb:len()
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
  if not found then text_item:add_proto_expert_info(e.layout, "Text, AA BB and spaces do not fit") end
  if #body >= n + 2 then t:add(f.text_end, tvb(pos + n, 2)) end
  if #body > n + 2 then t:add(f.padding, tvb(pos + n + 2, #body - n - 2)) end
  add_check(t, tvb, len - 4, pos, len - 4 - pos, f.text_check)
  add_check(t, tvb, len - 2, 0, len - 2)
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
-- needed to tell, or -1 when no frame starts there.
local inbound = {
  lead = { [0xAA] = channel_answer, [0xA5] = request_pending, [0x01] = request_packet,
           [0x04] = confirmation, [0x0A] = download_ack },
  names = { [0xAA] = "Channel answer", [0xA5] = "Request pending", [0x01] = "Request packet",
            [0x04] = "Confirmation", [0x0A] = "Download acknowledgement" },
  length = function(s, i)
    local b = s:byte(i)
    if b == 0xAA then
      if #s < i + 1 then return 0 end
      return s:byte(i + 1) == 0x4F and 6 or -1
    end
    return ({ [0xA5] = 3, [0x01] = 57, [0x04] = 9, [0x0A] = 5 })[b] or -1
  end,
}

local outbound = {
  lead = { [0xAA] = gateway_aa, [0x02] = packet_ack, [0x03] = reply },
  names = { [0xAA] = "Poll or channel frame", [0x02] = "Packet acknowledgement",
            [0x03] = "Reply", [0x0A] = "Download frame" },
  length = function(s, i)
    local b = s:byte(i)
    if b == 0xAA then return 5 end
    if b == 0x02 then return 9 end
    if b == 0x03 then
      if #s < i + 15 then return 0 end
      local length = s:byte(i + 7) * 256 + s:byte(i + 8)
      if length < 9 or length > MAX_REPLY_LENGTH then return -1 end
      return 9 + length + (s:byte(i + 15) == FIRST_CODE and 6 or 0) + 4
    end
    if b == 0x0A then
      if #s < i + 3 then return 0 end
      if s:byte(i + 2) == 0 then return 139 end
      return 6 + s:byte(i + 3)
    end
    return -1
  end,
}

-- Dissects the 0A frames of the gateway by their third byte.
outbound.lead[0x0A] = function(tvb, t)
  if tvb(2, 1):uint() == 0 then return download_data(tvb, t) end
  return download_search(tvb, t)
end

-- Splits s into frames {from, len} and runs of unrecognised bytes; returns them and the
-- position of an incomplete frame at the end (#s + 1 when there is none).
local function split(s, side)
  local items, pos, junk = {}, 1, nil
  while pos <= #s do
    local n = side.length(s, pos)
    if n == 0 or (n > 0 and pos + n - 1 > #s) then break end
    if n < 0 then
      junk = junk or pos
      pos = pos + 1
    else
      if junk then items[#items + 1] = { from = junk, len = pos - junk, junk = true } end
      junk = nil
      items[#items + 1] = { from = pos, len = n }
      pos = pos + n
    end
  end
  if junk then items[#items + 1] = { from = junk, len = pos - junk, junk = true } end
  return items, pos
end

-- Inbound bytes waiting for the rest of their frame, per interface, and what each packet
-- was joined with, so that any later pass shows the same. Joining goes in capture order
-- and needs the interface, which a pass without a protocol tree (tshark -2's first) does
-- not show; such a pass leaves it to the next.
local pending, joined, completed, last_joined = {}, {}, {}, 0

function ol.init()
  pending, joined, completed, last_joined = {}, {}, {}, 0
end

local function field_value(field, default)
  local v = field()
  if v == nil then return default end
  return v.value
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

  -- The bytes of earlier reads this chunk continues: decided once, in the first pass.
  local join = joined[pinfo.number]
  local joining = not join and dir ~= OUTBOUND and iface ~= nil and pinfo.number > last_joined
  if joining then
    last_joined = pinfo.number
    local p = pending[iface]
    join = { prefix = "", frames = {} }
    if p and pinfo.abs_ts - p.time <= MAX_GAP_SECONDS then
      join = { prefix = p.bytes, frames = p.frames }
    elseif p then
      join.abandoned = p
    end
    joined[pinfo.number] = join
  end
  join = join or { prefix = "", frames = {} }

  local chunk = tvb:raw(0, tvb:len())
  local s = join.prefix .. chunk
  local plen = #join.prefix
  local items, rest = split(s, side)

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
      bad_check_seen = false
      local kind, info = side.lead[s:byte(item.from)](ftvb, t)
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
      if bad_check_seen then info = info .. " [bad check]" end
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

  if joining then
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

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, ol)
