-- Walking a long text: a text of 714,575 bytes (8,080 lines of ASCII with
-- two-, three- and four-byte UTF-8 characters) is walked line by line,
-- each line found with a plain find from the position behind the one
-- before, cut out and searched for a word; then the text is split at its
-- line ends and every "fox" in it replaced. Positions are bytes here; the
-- applet's (textwalk.qasm) count characters.
local block = ""
for i = 1, 16 do
  block = block .. "line " .. i .. ": the quick brown fox jumps over the lazy dog; Gr\xC3\xBC\xC3\x9Fe aus K\xC3\xB6ln, 5 \xE2\x82\xAC f\xC3\xBCr \xF0\x9D\x84\x9E\n"
end
local text = string.rep(block, 505)
local lines, foxes, pos = 0, 0, 1
while true do
  local e = string.find(text, "\n", pos, true)
  if not e then break end
  local line = string.sub(text, pos, e - 1)
  if string.find(line, "fox", 1, true) then foxes = foxes + 1 end
  lines = lines + 1
  pos = e + 1
end
local parts, n, i = {}, 0, 1
while true do
  local j = string.find(text, "\n", i, true)
  n = n + 1
  if not j then
    parts[n] = string.sub(text, i)
    break
  end
  parts[n] = string.sub(text, i, j - 1)
  i = j + 1
end
local replaced = string.gsub(text, "fox", "cat")
return lines + foxes + n + #replaced
