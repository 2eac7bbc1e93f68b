; Shapes and a vector path. On a 320x240 display a filled red box, a green
; circle and a white line are drawn, then a path (a triangle with a curved
; side) is built and drawn filled in yellow. The run ends a second later.
;
; In script terms:
;   SetFillStyle(#FILLCOLOR)
;   Box(20, 20, 100, 60, $C02020)
;   Circle(180, 20, 40, $20A040)
;   Line(20, 220, 300, 220, $FFFFFF)
;   StartPath(1)
;   MoveTo(1, 0, 80)
;   LineTo(1, 80, 80)
;   CurveTo(1, 60, 40, 60, 20, 40, 0)
;   ClosePath(1)
;   DrawPath(1, 60, 120, $FFE000)
;   Wait(1, #SECONDS)
.applet title "Quillmere shapes"
.applet versionstring "$VER: Shapes 1.0"
.applet authors "The Quillmere developers"
.applet section 3 be16:320 be16:240
.applet section 5 be32:0x000000
.line 1
GETGLOBAL 0, "setfillstyle"
LOADNUM 1, #FILLCOLOR
CALL 0, 2, 1
.line 2
GETGLOBAL 0, "box"
LOADNUM 1, 20
LOADNUM 2, 20
LOADNUM 3, 100
LOADNUM 4, 60
LOADCONST 5, #12591136  ; $C02020
CALL 0, 6, 1
.line 3
GETGLOBAL 0, "circle"
LOADNUM 1, 180
LOADNUM 2, 20
LOADNUM 3, 40
LOADCONST 4, #2138176   ; $20A040
CALL 0, 5, 1
.line 4
GETGLOBAL 0, "line"
LOADNUM 1, 20
LOADNUM 2, 220
LOADNUM 3, 300
LOADNUM 4, 220
LOADCONST 5, #16777215  ; $FFFFFF
CALL 0, 6, 1
.line 5
GETGLOBAL 0, "startpath"
LOADNUM 1, 1
CALL 0, 2, 1
GETGLOBAL 0, "moveto"
LOADNUM 1, 1
LOADNUM 2, 0
LOADNUM 3, 80
CALL 0, 4, 1
GETGLOBAL 0, "lineto"
LOADNUM 1, 1
LOADNUM 2, 80
LOADNUM 3, 80
CALL 0, 4, 1
GETGLOBAL 0, "curveto"
LOADNUM 1, 1
LOADNUM 2, 60
LOADNUM 3, 40
LOADNUM 4, 60
LOADNUM 5, 20
LOADNUM 6, 40
LOADNUM 7, 0
CALL 0, 8, 1
GETGLOBAL 0, "closepath"
LOADNUM 1, 1
CALL 0, 2, 1
.line 6
GETGLOBAL 0, "drawpath"
LOADNUM 1, 1
LOADNUM 2, 60
LOADNUM 3, 120
LOADCONST 4, #16769024  ; $FFE000
CALL 0, 5, 1
.line 7
GETGLOBAL 0, "wait"
LOADNUM 1, 1
LOADNUM 2, #SECONDS
CALL 0, 3, 1
RETURN 0, 1, 0
