-- Wireshark dissector for the KORVEL32 gateway protocol: CAN messages as
-- ASCII frames over TCP, in both directions, for example
--
--   $CAN;S;D;0x123;0x3;0x1;0xab;0x0;#   standard data frame 123#01AB00
--   $CAN;E;R;0x18daf110;0x8;#           extended remote frame 18DAF110#R8
--
-- Load it with `wireshark -X lua_script:korvel.lua` (or tshark), or copy
-- it into the personal Lua plugins folder. The TCP port is the preference
-- korvel.tcp.port (29536 by default).
--
-- Fields are read as the library reads them: only the last character of the
-- format and kind fields counts, numbers are "0x" hex or decimal tokens of
-- either case, and a hex token is read up to the digits its field holds.
-- Bytes outside frames and frames that do not decode are shown with expert
-- info.

local korvel = Proto("korvel", "KORVEL32 gateway protocol")

local DEFAULT_PORT = 29536
local START = "$CAN"
local TERMINATOR = "#"
local SEPARATOR = ";"
local MAX_DATA_LENGTH = 8
-- A start token without "#" within this many bytes begins no frame; the
-- longest frame the library writes has 65 bytes.
local MAX_FRAME_LENGTH = 128
local MAX_QUOTED_LENGTH = 16
local FLAG_REMOTE = 1
local FLAG_EXTENDED = 2
local ID_WIDTH, BYTE_WIDTH = 4, 1

local fields = {
    format = ProtoField.uint8("korvel.format", "Format", base.DEC,
                              {[0] = "standard", [1] = "extended"}),
    type = ProtoField.uint8("korvel.type", "Type", base.DEC, {[0] = "data", [1] = "remote"}),
    id = ProtoField.uint32("korvel.id", "Identifier", base.HEX),
    length = ProtoField.uint8("korvel.length", "Length"),
    data = ProtoField.bytes("korvel.data", "Data"),
    flags = ProtoField.uint8("korvel.flags", "Flags", base.HEX, nil, nil,
                             "bit 0: remote frame, bit 1: extended identifier"),
}
korvel.fields = fields

local experts = {
    garbage = ProtoExpert.new("korvel.garbage", "Bytes outside frames", expert.group.PROTOCOL,
                              expert.severity.WARN),
    malformed = ProtoExpert.new("korvel.malformed", "Malformed frame", expert.group.MALFORMED,
                                expert.severity.ERROR),
    skipped = ProtoExpert.new("korvel.skipped", "Bytes skipped before the terminator",
                              expert.group.PROTOCOL, expert.severity.WARN),
}
korvel.experts = experts

korvel.prefs["tcp.port"] = Pref.uint("TCP port", DEFAULT_PORT, "TCP port of the gateway")

-- Decoding one frame's text -------------------------------------------------

-- The value of a number token of width bytes, or nil. A zero byte ends the
-- token; a hex token is read up to 2 * width digits and the rest is not
-- looked at; a decimal token may have a sign and is taken modulo the width.
local function token_value(token, width)
    token = token:match("^[^\0]*"):lower()
    if token:sub(1, 2) == "0x" then
        local digits = token:sub(3, 2 + 2 * width)
        if digits == "" or digits:find("[^0-9a-f]") then return nil end
        return tonumber(digits, 16)
    end
    if not token:find("^[+-]?%d+$") then return nil end
    local value = tonumber(token)
    if value < -2 ^ 31 or value > 2 ^ 32 - 1 then return nil end
    return value % 2 ^ (8 * width)
end

-- A field's text for a message: printable and short.
local function quoted(text)
    local shown = text:gsub("[^\32-\126]", "."):sub(1, MAX_QUOTED_LENGTH)
    return "'" .. shown .. (#text > MAX_QUOTED_LENGTH and "...'" or "'")
end

-- 1 or 0 for a format or kind field, whose last character counts.
local function letter_value(field, set, clear)
    local letter = field.text:sub(-1)
    if letter == set then return 1 end
    if letter == clear then return 0 end
    return nil
end

-- The fields of a frame's text: each with its text and its offset in the
-- text. The last one is what stands between the last ";" and the "#".
local function split_fields(text)
    local result = {}
    local from = #START + 2 -- the character behind the start token is not examined
    while true do
        local at = text:find(SEPARATOR, from, true) or #text
        result[#result + 1] = {text = text:sub(from, at - 1), offset = from - 1}
        if at == #text then return result end
        from = at + 1
    end
end

-- Decodes the text of a frame, "$CAN" to "#". Returns a message table, or
-- nil and the reason why the frame is malformed.
local function decode_frame(text)
    local f = split_fields(text)
    local header = 4
    if #f <= header then return nil, "the frame ends after " .. (#f - 1) .. " fields" end
    local m = {fields = f}
    m.extended = letter_value(f[1], "E", "S")
    if not m.extended then return nil, "format field " .. quoted(f[1].text) .. " is not E or S" end
    m.remote = letter_value(f[2], "R", "D")
    if not m.remote then return nil, "kind field " .. quoted(f[2].text) .. " is not R or D" end
    m.id = token_value(f[3].text, ID_WIDTH)
    if not m.id then return nil, "identifier " .. quoted(f[3].text) .. " is no number" end
    m.length = token_value(f[4].text, BYTE_WIDTH)
    if not m.length then return nil, "length " .. quoted(f[4].text) .. " is no number" end
    if m.length > MAX_DATA_LENGTH then return nil, "length " .. m.length .. " is above 8" end
    -- A remote frame may come without data tokens: the library writes it so.
    local tokens = #f - header - 1
    local count = (m.remote == 1 and tokens == 0) and 0 or m.length
    if tokens < count then return nil, "data tokens: " .. tokens .. " of " .. m.length end
    m.data = {}
    for i = 1, count do
        local token = f[header + i].text
        m.data[i] = token_value(token, BYTE_WIDTH)
        if not m.data[i] then return nil, "data token " .. quoted(token) .. " is no number" end
    end
    m.skipped = f[header + count + 1].offset -- the first byte not read
    return m
end

-- Cutting the stream into pieces ---------------------------------------------

-- How many bytes at the end of s could begin a start token.
local function partial_start_length(s)
    for n = #START - 1, 1, -1 do
        if s:sub(-n) == START:sub(1, n) then return n end
    end
    return 0
end

-- The next piece of s at pos: its kind ("frame", "garbage" or "malformed"),
-- its last position and, for a malformed one, the reason. Nothing when more
-- bytes are needed to tell.
local function next_piece(s, pos)
    local start = s:find(START, pos, true)
    if not start then
        local last = #s - partial_start_length(s)
        if last >= pos then return "garbage", last end
        return nil
    end
    if start > pos then return "garbage", start - 1 end
    local limit = start + MAX_FRAME_LENGTH - 1
    local hash = s:find(TERMINATOR, start + #START + 1, true)
    local following = s:find(START, start + #START, true)
    if hash and hash <= limit and not (following and following < hash) then
        return "frame", hash
    end
    if following and following <= limit then
        return "malformed", following - 1, "no terminator before the next start token"
    end
    if #s >= limit then
        return "malformed", limit, "no terminator within " .. MAX_FRAME_LENGTH .. " bytes"
    end
    return nil
end

-- Splits s into pieces {kind, first, last, message or reason}. Returns them
-- and the position of the first byte that needs more data, or nil.
local function scan(s)
    local pieces = {}
    local pos = 1
    while pos <= #s do
        local kind, last, reason = next_piece(s, pos)
        if not kind then return pieces, pos end
        local piece = {kind = kind, first = pos, last = last, reason = reason}
        if kind == "frame" then
            piece.message, piece.reason = decode_frame(s:sub(pos, last))
            if not piece.message then piece.kind = "malformed" end
        end
        pieces[#pieces + 1] = piece
        pos = last + 1
    end
    return pieces, nil
end

-- Showing the pieces ---------------------------------------------------------

local function data_hex(m)
    local hex = {}
    for i, byte in ipairs(m.data) do hex[i] = string.format("%02X", byte) end
    return table.concat(hex)
end

-- The frame in cansend syntax: 123#01AB00, 18DAF110#R8.
local function cansend_text(m)
    local id = string.format(m.extended == 1 and "%08X" or "%03X", m.id)
    if m.remote == 1 then return id .. "#R" .. (m.length > 0 and m.length or "") end
    return id .. "#" .. data_hex(m)
end

local function add_frame(tree, tvb, piece, data_tvb, data_offset)
    local m = piece.message
    local base = piece.first - 1
    local text = cansend_text(m)
    local item = tree:add(korvel, tvb(base, piece.last - base), "KORVEL32 frame " .. text)
    local function range(field) return tvb(base + field.offset, #field.text) end
    item:add(fields.format, range(m.fields[1]), m.extended)
    item:add(fields.type, range(m.fields[2]), m.remote)
    item:add(fields.id, range(m.fields[3]), m.id)
    item:add(fields.length, range(m.fields[4]), m.length)
    if #m.data > 0 then item:add(fields.data, data_tvb(data_offset, #m.data)) end
    local flags = m.remote * FLAG_REMOTE + m.extended * FLAG_EXTENDED
    item:add(fields.flags, tvb(base, piece.last - base), flags)
    local skipped = piece.last - 1 - base - m.skipped
    if skipped > 0 then
        item:add_tvb_expert_info(experts.skipped, tvb(base + m.skipped, skipped),
                                 skipped .. " bytes skipped before the terminator")
    end
    return text
end

local function add_other(tree, tvb, piece)
    local range = tvb(piece.first - 1, piece.last - piece.first + 1)
    if piece.kind == "garbage" then
        local item = tree:add(korvel, range, "KORVEL32 bytes outside frames")
        item:add_tvb_expert_info(experts.garbage, range, range:len() .. " bytes outside frames")
    else
        local item = tree:add(korvel, range, "KORVEL32 malformed frame")
        item:add_tvb_expert_info(experts.malformed, range, "Malformed frame: " .. piece.reason)
    end
end

-- The data bytes of all frames of a packet, as one data source.
local function data_source(pieces)
    local hex = {}
    for _, piece in ipairs(pieces) do
        if piece.message then hex[#hex + 1] = data_hex(piece.message) end
    end
    local all = table.concat(hex)
    if all == "" then return nil end
    return ByteArray.new(all):tvb("CAN data")
end

function korvel.dissector(tvb, pinfo, tree)
    local pieces, incomplete = scan(tvb:raw())
    if incomplete and pinfo.can_desegment == 0 then
        pieces[#pieces + 1] = {kind = "malformed", first = incomplete, last = tvb:len(),
                               reason = "cut off by the end of the data"}
        incomplete = nil
    end
    local data_tvb = data_source(pieces)
    local data_offset = 0
    local summary = {}
    for _, piece in ipairs(pieces) do
        if piece.message then
            summary[#summary + 1] = add_frame(tree, tvb, piece, data_tvb, data_offset)
            data_offset = data_offset + #piece.message.data
        else
            add_other(tree, tvb, piece)
            if piece.kind == "malformed" then summary[#summary + 1] = "[malformed]" end
        end
    end
    pinfo.cols.protocol = "KORVEL"
    if #summary > 0 then pinfo.cols.info = table.concat(summary, " ") end
    if incomplete then
        pinfo.desegment_offset = incomplete - 1
        pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
    end
    return tvb:len()
end

-- The port preference ---------------------------------------------------------

local registered_port = nil

local function register_port()
    local tcp = DissectorTable.get("tcp.port")
    if registered_port then tcp:remove(registered_port, korvel) end
    registered_port = korvel.prefs["tcp.port"]
    if registered_port ~= 0 then tcp:add(registered_port, korvel) end
end

korvel.prefs_changed = register_port
register_port()
