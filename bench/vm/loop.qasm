; Numeric loop: 10^8 steps adding the counter, as loop.lua.
    LOADNUM 0, 0                ; s
    LOADNUM 1, 0                ; counter, one step below the first value
    LOADCONST 2, #100000000     ; limit
    LOADNUM 3, 1                ; step
    JUMP test
body: ADD 0, 0, 1
test: FORLOOP 1, body
    RETURN 0, 2
