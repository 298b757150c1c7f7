orn_character_animation = setmetatable({ rate = 30, animation = {} }, { __index = function(t, k) error('undeclared ' .. k) end })
