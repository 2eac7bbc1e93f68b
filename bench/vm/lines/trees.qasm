; trees.qasm with the source lines of trees.lua, for measuring line hooks.
.function bottomup
.params 1
.upvalues 1
.line 6
    LT 0, #0, 0                 ; depth > 0: make a node
    JUMP leaf
.line 7
    SUB 0, 0, #1
.line 8
    GETUPVAL 1, 0
    MOVE 2, 0
    CALL 1, 2, 2                ; left
    GETUPVAL 2, 0
    MOVE 3, 0
    CALL 2, 2, 2                ; right
    MOVE 4, 1
    MOVE 5, 2
    NEWTABLE 3, 2, 0
    SETLIST 3, 1
    RETURN 3, 2
.line 10
leaf: NEWTABLE 1, 2, 0
    LOADNUM 2, 0
    LOADNUM 3, 0
    SETLIST 1, 1
    RETURN 1, 2
.end
.function check
.params 1
.upvalues 1
.line 13
    GETTABLE 1, 0, #0           ; left
.line 14
    TESTSET 1, 1, 0             ; a leaf has no left child
    JUMP leaf
    GETUPVAL 2, 0
    MOVE 3, 1
    CALL 2, 2, 2
    GETUPVAL 3, 0
    GETTABLE 4, 0, #1
    CALL 3, 2, 2
    ADD 2, 2, #1
    ADD 2, 2, 3
    RETURN 2, 2
.line 15
leaf: LOADNUM 1, 1
    RETURN 1, 2
.end
.line 5
    CLOSURE 0, bottomup
    MOVE 0, 0
.line 12
    CLOSURE 1, check
    MOVE 0, 1
.line 18
    MOVE 2, 1                   ; total = check(bottomup(15))
    MOVE 3, 0
    LOADNUM 4, 15
    CALL 3, 2, 2
    CALL 2, 2, 2
.line 19
    MOVE 3, 0                   ; the long-lived tree
    LOADNUM 4, 14
    CALL 3, 2, 2
.line 20
    LOADNUM 4, 2                ; depth = 4, 6, ..., 14
    LOADNUM 5, 14
    LOADNUM 6, 2
    JUMP dtest
.line 21
dbody: SUB 7, #18, 4
    POW 7, #2, 7                ; iterations
.line 22
    LOADNUM 8, 0
    MOVE 9, 7
    LOADNUM 10, 1
    JUMP itest
ibody: MOVE 11, 1
    MOVE 12, 0
    MOVE 13, 4
    CALL 12, 2, 2
    CALL 11, 2, 2
    ADD 2, 2, 11
.line 22
itest: FORLOOP 8, ibody
.line 20
dtest: FORLOOP 4, dbody
.line 24
    MOVE 7, 1
    MOVE 8, 3
    CALL 7, 2, 2
    ADD 2, 2, 7
    RETURN 2, 2
