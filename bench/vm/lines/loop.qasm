; loop.qasm with the source lines of loop.lua, for measuring line hooks.
.line 2
    LOADNUM 0, 0                ; s
.line 3
    LOADNUM 1, 0                ; counter, one step below the first value
    LOADCONST 2, #100000000     ; limit
    LOADNUM 3, 1                ; step
    JUMP test
.line 4
body: ADD 0, 0, 1
.line 3
test: FORLOOP 1, body
.line 6
    RETURN 0, 2
