params = setmetatable({}, { __index = function() while true do end end })
