-- Wireshark dissector for the Tarvix RS485 relay: its request and reply
-- datagrams and the frames of its capture's serial bus (link type 147,
-- LINKTYPE_USER0). Copy or link this file into Wireshark's personal plugin
-- folder (Help > About Wireshark > Folders > Personal Lua Plugins).
--
-- A frame on the bus:      SYN* STX LEN KIND ID payload...
--   LEN counts the bytes from STX through the last one.
-- A datagram, both ways:   IP text, 0, port (low byte first), separator, frame
--   Requests go to the relay's UDP port (a preference, 3776); replies are
--   recognised by their shape: IP text, 0, port, 0, then STX.

local tarvix = Proto("tarvix", "Tarvix RS485 relay")

local SYN, STX = 0x16, 0x02

local f = {
  reply_ip = ProtoField.string("tarvix.reply_ip", "Reply IP"),
  reply_port = ProtoField.uint16("tarvix.reply_port", "Reply port"),
  separator = ProtoField.uint8("tarvix.separator", "Separator", base.HEX),
  syn = ProtoField.bytes("tarvix.syn", "SYN run"),
  stx = ProtoField.uint8("tarvix.stx", "STX", base.HEX),
  len = ProtoField.uint8("tarvix.len", "LEN"),
  kind = ProtoField.uint8("tarvix.kind", "Kind", base.HEX),
  id = ProtoField.uint8("tarvix.id", "Device ID"),
  payload = ProtoField.bytes("tarvix.payload", "Payload"),
}
tarvix.fields = { f.reply_ip, f.reply_port, f.separator, f.syn, f.stx, f.len, f.kind, f.id, f.payload }

local len_mismatch = ProtoExpert.new("tarvix.len.mismatch", "LEN disagrees with the bytes present",
  expert.group.MALFORMED, expert.severity.WARN)
tarvix.experts = { len_mismatch }

tarvix.prefs.port = Pref.uint("UDP port", 3776, "The relay's UDP port, where requests go")

-- The serial frame in buf (its SYN run first, if any) under tree.
local function dissect_frame(buf, pinfo, tree)
  local n = buf:len()
  local i = 0
  while i < n and buf(i, 1):uint() == SYN do i = i + 1 end
  if i > 0 then tree:add(f.syn, buf(0, i)) end
  if i >= n then return end
  if buf(i, 1):uint() ~= STX then
    tree:add(f.payload, buf(i))
    return
  end
  tree:add(f.stx, buf(i, 1))
  if i + 1 >= n then return end
  local len_item = tree:add(f.len, buf(i + 1, 1))
  local len = buf(i + 1, 1):uint()
  if i + 2 < n then tree:add(f.kind, buf(i + 2, 1)) end
  if i + 3 < n then
    tree:add(f.id, buf(i + 3, 1))
    pinfo.cols.info:append(" ID " .. buf(i + 3, 1):uint())
  end
  if i + 4 < n then tree:add(f.payload, buf(i + 4)) end
  local present = n - i
  if present ~= len then
    len_item:add_proto_expert_info(len_mismatch, string.format("LEN %d, %d bytes present", len, present))
  end
end

-- Where the IP text of a datagram ends (its 0), or nil.
local function ip_end(buf)
  local n = math.min(buf:len(), 64)
  for i = 0, n - 1 do
    local b = buf(i, 1):uint()
    if b == 0 then return i end
    -- Dotted quads and host names only.
    if not ((b >= 0x30 and b <= 0x39) or (b >= 0x41 and b <= 0x5A) or (b >= 0x61 and b <= 0x7A) or b == 0x2E or b == 0x2D) then
      return nil
    end
  end
  return nil
end

local function dissect_datagram(buf, pinfo, tree, what)
  local zero = ip_end(buf)
  if not zero then return 0 end
  pinfo.cols.protocol = "TARVIX"
  local subtree = tree:add(tarvix, buf(), "Tarvix " .. what)
  subtree:add(f.reply_ip, buf(0, zero))
  if zero + 3 > buf:len() then return buf:len() end
  subtree:add_le(f.reply_port, buf(zero + 1, 2))
  pinfo.cols.info = string.format("%s to %s:%d", what, buf(0, zero):string(), buf(zero + 1, 2):le_uint())
  if zero + 4 > buf:len() then return buf:len() end
  subtree:add(f.separator, buf(zero + 3, 1))
  if zero + 4 < buf:len() then dissect_frame(buf(zero + 4):tvb(), pinfo, subtree) end
  return buf:len()
end

local direction = Field.new("frame.packet_flags_direction")
local comment = Field.new("frame.comment")

local function dissect_bus(buf, pinfo, tree)
  if buf:len() == 0 then
    -- The relay's own events: empty packets whose comment says what happened.
    local c = comment()
    if c then
      pinfo.cols.protocol = "TARVIX"
      pinfo.cols.info = "relay: " .. tostring(c.value)
    end
    return 0
  end
  pinfo.cols.protocol = "TARVIX"
  local dir = direction()
  local what = "bus"
  if dir and dir.value == 2 then what = "written to the bus" elseif dir and dir.value == 1 then what = "read from the bus" end
  pinfo.cols.info = what
  local subtree = tree:add(tarvix, buf(), "Tarvix " .. what)
  dissect_frame(buf, pinfo, subtree)
  return buf:len()
end

function tarvix.dissector(buf, pinfo, tree)
  if pinfo.match_uint == tarvix.prefs.port and pinfo.dst_port == tarvix.prefs.port then
    return dissect_datagram(buf, pinfo, tree, "request")
  end
  if pinfo.dst_port == 0 and pinfo.src_port == 0 then return dissect_bus(buf, pinfo, tree) end
  return dissect_datagram(buf, pinfo, tree, "reply")
end

-- Replies: IP text, 0, port, 0, STX.
local function heuristic(buf, pinfo, tree)
  local zero = ip_end(buf)
  if not zero or zero == 0 or buf:len() < zero + 5 then return false end
  if buf(zero + 3, 1):uint() ~= 0 or buf(zero + 4, 1):uint() ~= STX then return false end
  dissect_datagram(buf, pinfo, tree, "reply")
  return true
end

local bus = Proto("tarvix_bus", "Tarvix RS485 bus")
function bus.dissector(buf, pinfo, tree) return dissect_bus(buf, pinfo, tree) end

local udp_port = tarvix.prefs.port
DissectorTable.get("udp.port"):add(udp_port, tarvix)
tarvix:register_heuristic("udp", heuristic)
DissectorTable.get("wtap_encap"):add((wtap_encaps or wtap).USER0, bus)

function tarvix.prefs_changed()
  if udp_port ~= tarvix.prefs.port then
    DissectorTable.get("udp.port"):remove(udp_port, tarvix)
    udp_port = tarvix.prefs.port
    DissectorTable.get("udp.port"):add(udp_port, tarvix)
  end
end
