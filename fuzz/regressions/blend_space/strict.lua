return setmetatable({ type = '1D' }, { __index = function(t, k) error('strict ' .. k) end })
