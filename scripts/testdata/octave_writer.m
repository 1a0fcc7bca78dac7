% Writes the Octave-made MAT-files of the test data.
% Run as: octave-cli --no-gui --norc --quiet octave_writer.m OUTDIR
% scripts/testdata/README.md lists every file and variable.
args = argv();
outdir = args{1};

o_double = reshape(1:12, 3, 4);
o_complex = [1+2i, 3-4i; -5+0.5i, -1i];
o_char = 'octave text';
o_sparse = sparse([2 1 4], [1 2 3], [1 2 3.5], 4, 3);
save('-v4', fullfile(outdir, 'v4.mat'), 'o_double', 'o_complex', 'o_char', 'o_sparse');

o_single = single([1.5 2.5; -1 0]);
o_int8 = int8([-128 -1 0 127]);
o_uint8 = uint8([0 1 254 255]);
o_int16 = int16([-32768 0 32767]);
o_uint16 = uint16([0 65535]);
o_int32 = int32([-2147483648 0 2147483647]);
o_uint32 = uint32([0 4294967295]);
o_int64 = int64([-9223372036854775807 0 9223372036854775807]);
o_uint64 = uint64([0 18446744073709551615]);
o_logical = logical([1 0 1; 0 0 1]);
o_chars = ['abc'; 'def'];
o_3d = reshape(1:24, 2, 3, 4);
o_sparse_complex = sparse([1 3], [1 3], [1+1i, 2-3i], 3, 3);
o_sparse_logical = sparse(logical([1 0 0 0; 0 0 1 0; 0 0 0 1]));
o_cell = {1, 'two', int8([3 4])};
o_cell_nested = {{1, {'deep'}}; int8(7)};
o_struct = struct('a', [1 2 3], 'b', 'text', 'c', {{7, 'seven'}});
o_struct_array = struct('x', {1, 2, 3});
o_struct_nested = struct('inner', struct('leaf', 42), 'name', 'outer');
o_empty = [];
global o_global
o_global = 5;
vars = {'o_double', 'o_complex', 'o_char', 'o_sparse', 'o_single', 'o_int8', ...
        'o_uint8', 'o_int16', 'o_uint16', 'o_int32', 'o_uint32', 'o_int64', ...
        'o_uint64', 'o_logical', 'o_chars', 'o_3d', 'o_sparse_complex', ...
        'o_sparse_logical', 'o_cell', 'o_cell_nested', 'o_struct', ...
        'o_struct_array', 'o_struct_nested', 'o_empty', 'o_global'};
save('-v6', fullfile(outdir, 'v6.mat'), vars{:});
save('-v7', fullfile(outdir, 'v7.mat'), vars{:});
