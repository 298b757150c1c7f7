local s= 'x' while true do s = 3 .. s end
