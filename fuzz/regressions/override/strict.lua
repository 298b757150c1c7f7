return setmetatable({}, { __index = function(t, k) error('strict ' .. k) end })
