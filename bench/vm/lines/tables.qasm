; tables.qasm with the source lines of tables.lua, for measuring line hooks.
.line 3
    NEWTABLE 0, 0, 0            ; t
.line 4
    LOADNUM 2, 0
    LOADCONST 3, #1000000
    LOADNUM 4, 1
    JUMP t1
b1: SETTABLE 0, 2, 2
t1: FORLOOP 2, b1
.line 5
    LOADNUM 1, 0                ; s
.line 6
    LOADNUM 2, 0
    LOADCONST 3, #1000000
    LOADNUM 4, 1
    JUMP t2
b2: GETTABLE 5, 0, 2
    ADD 1, 1, 5
t2: FORLOOP 2, b2
.line 7
    NEWTABLE 6, 0, 0            ; keys
.line 8
    LOADNUM 2, 0
    LOADCONST 3, #1000
    LOADNUM 4, 1
    JUMP t3
b3: LOADCONST 7, "key"
    MOVE 8, 2
    CONCAT 9, 7, 8
    SETTABLE 6, 2, 9
t3: FORLOOP 2, b3
.line 9
    LOADNUM 10, 0               ; rounds
    LOADCONST 11, #1000
    LOADNUM 12, 1
    JUMP t4
.line 10
b4: NEWTABLE 13, 0, 0           ; h
.line 11
    LOADNUM 2, 0
    LOADCONST 3, #1000
    LOADNUM 4, 1
    JUMP t5
b5: GETTABLE 7, 6, 2
    SETTABLE 13, 7, 2
t5: FORLOOP 2, b5
.line 12
    LOADNUM 2, 0
    LOADCONST 3, #1000
    LOADNUM 4, 1
    JUMP t6
b6: GETTABLE 7, 6, 2
    GETTABLE 8, 13, 7
    ADD 1, 1, 8
t6: FORLOOP 2, b6
.line 9
t4: FORLOOP 10, b4
.line 14
    RETURN 1, 2
