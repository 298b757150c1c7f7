anim_states = { idle = setmetatable({ type = 'animation' }, { __index = function(t, k) error('strict ' .. k) end }) }
