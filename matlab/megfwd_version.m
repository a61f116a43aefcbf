function v = megfwd_version()
%MEGFWD_VERSION  Version of the megfwd library the toolbox was built with.
%   v = megfwd_version() returns it as text, such as '0.1.0'.
v = megfwd_mex('version');
end
