-- Runs one benchmark script (bench/vm/*.lua) under lua5.4 (or LuaJIT) a
-- number of times and prints the processor time of every run in the same
-- form as the vm_run program: "times <ms> ..." and "result <value>".
-- With "hook" as the third argument a line hook that does nothing is set
-- for the runs, as vm_run --hook does. Uses only what Lua 5.1 and LuaJIT
-- also have.
--   lua5.4 vm_run.lua FILE.lua [RUNS] [hook]
local path, runs = arg[1], tonumber(arg[2] or "1")
local f = assert(loadfile(path))
if arg[3] == "hook" then debug.sethook(function() end, "l") end
local times, result = {}, nil
for r = 1, runs do
  local start = os.clock()
  local v = f()
  times[r] = string.format("%.3f", (os.clock() - start) * 1000)
  if type(v) == "string" then
    result = tostring(#v)
  elseif type(v) == "number" and v == math.floor(v) and math.abs(v) < 2^53 then
    result = string.format("%.0f", v)
  else
    result = tostring(v)
  end
end
print("times " .. table.concat(times, " "))
print("result " .. result)
