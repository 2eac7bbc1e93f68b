; methods.qasm with the source lines of methods.lua, for measuring line hooks.
.function m
.params 1
.line 3
    GETTABLE 1, 0, "v"
    ADD 1, 1, #1
    SETTABLE 0, "v", 1
    RETURN 0, 1
.end
.line 2
    NEWTABLE 0, 0, 1            ; o
    SETTABLE 0, "v", #0
.line 3
    CLOSURE 4, m
    SETTABLE 0, "m", 4
.line 4
    LOADNUM 1, 0
    LOADCONST 2, #10000000
    LOADNUM 3, 1
    JUMP test
body: SELF 4, 0, "m"
    CALL 4, 2, 1
test: FORLOOP 1, body
.line 5
    GETTABLE 4, 0, "v"
    RETURN 4, 2
