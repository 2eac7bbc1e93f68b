-- Method calls: 10^7 calls through a method lookup on an object.
local o = {v = 0}
function o:m() self.v = self.v + 1 end
for i = 1, 10000000 do o:m() end
return o.v
